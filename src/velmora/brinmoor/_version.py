# The package's version: the build reads it from here (pyproject.toml names this file), and
# `velmora.brinmoor.__version__` is this value, so an installed copy and a source tree agree.
__version__ = "0.1.0"
