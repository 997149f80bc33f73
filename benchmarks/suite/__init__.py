"""The parts of benchmarks/run.py, by what they time."""
