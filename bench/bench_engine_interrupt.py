"""How soon Ctrl-C ends a long detection: SIGINT sent from a helper thread
0.5 s into a detection on 10^7 values, in a fresh interpreter per try; the
delay from the signal to the KeyboardInterrupt, median and largest. The
engine's run of the native method on one series and on four, and the
package's quarn.detect and quarn.detect_many on top of it.

    python bench/bench_engine_interrupt.py [--tries 10] [--n 10000000]
"""

import argparse
import os
import statistics
import subprocess
import sys
import textwrap

TRY = textwrap.dedent("""
    import signal, sys, threading, time
    import numpy as np
    import pandas
    import quarn
    import quarn._engine as engine

    sys.path.insert(0, sys.argv[3])
    from _harness import engine_arguments

    arguments = engine_arguments(scale=False)
    call, n = sys.argv[1], int(sys.argv[2])
    values = np.random.default_rng(1).normal(size=n)
    batch = [values[i::4].copy() for i in range(4)]
    sent = []

    def interrupt():
        time.sleep(0.5)
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    helper = threading.Thread(target=interrupt)
    helper.start()
    try:
        {"run": lambda: engine.run([values], **arguments),
         "run many": lambda: engine.run(batch, **arguments),
         "quarn.detect": lambda: quarn.detect(values),
         "quarn.detect_many": lambda: quarn.detect_many(batch)}[call]()
        print("finished before the signal")
    except KeyboardInterrupt:
        print(time.monotonic() - sent[0])
    helper.join()
""")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tries", type=int, default=10)
    parser.add_argument("--n", type=int, default=10**7)
    args = parser.parse_args()
    print(f"{'call':>17} {'tries':>6} {'median ms':>10} {'max ms':>8}")
    here = os.path.dirname(os.path.abspath(__file__))
    for call in ("run", "run many", "quarn.detect", "quarn.detect_many"):
        delays = []
        for _ in range(args.tries):
            out = subprocess.run([sys.executable, "-c", TRY, call, str(args.n), here],
                                 capture_output=True, text=True, check=True).stdout
            delays.append(float(out))
        print(f"{call:>17} {args.tries:>6} {1000 * statistics.median(delays):>10.1f} "
              f"{1000 * max(delays):>8.1f}")


if __name__ == "__main__":
    main()
