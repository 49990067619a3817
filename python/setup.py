# Metadata and the python-can entry point are in setup.cfg. A setup.py (and
# no pyproject.toml) lets pip build with the setuptools that is installed,
# without fetching build requirements from a package index.
from setuptools import setup

setup()
