"""The version of zeq, written here only: pyproject.toml takes it for the
distribution (scikit-build-core's regex metadata provider) and CMake passes
it to the extension module, whose ``zeq.__version__`` is the same text."""

__version__ = "0.1.2"
