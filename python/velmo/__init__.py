"""Pure-Python tools around the ``velmo_device_communication`` extension module."""
