"""Python side of the Tarnlet Excel environment.

The compiled parts (the kernel, the language bridge and the package-index
client) are extension modules inside the subpackages; the modules written in
plain Python live beside them.
"""
