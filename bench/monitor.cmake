# Benchmarks of monitor mode.
