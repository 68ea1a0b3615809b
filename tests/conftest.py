"""Settings for the whole test run."""

import signal

# A shell without job control starts background commands with Ctrl-C
# (SIGINT) ignored, and every process they start inherits that: the tests
# of interrupts would see neither KeyboardInterrupt here nor exit status 130
# from the command line. A handler set here is reset to the default in the
# children when they start, so both get Ctrl-C as a terminal would send it.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
