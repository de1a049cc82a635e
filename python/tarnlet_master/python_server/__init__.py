"""Per-workbook kernel process and its companion modules.

The extension modules ``kernel`` and ``sensewire`` are installed into this
package by the build.
"""
