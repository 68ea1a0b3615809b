/* fma by the processor's fused multiply-add instruction (FMA3), which
   rounds once. scripts/windows_core.sh links it into the test programs in
   place of the runtime's fma when fma_probe finds that one rounding twice
   (as the runtime of MinGW-w64 10 does), so that the tests check quarn's
   code rather than that runtime. Build with -mfma. */
double fma(double x, double y, double z) { return __builtin_fma(x, y, z); }
