"""The least a link needs of an open port, for tests that script only the answers."""


class BarePort:
    """An open port that takes every write whole; subclasses answer `read`."""

    is_open = True
    port = "COM3"

    def reset_input_buffer(self):
        pass

    def write(self, data):
        return len(data)

    def read(self, size=1):
        raise NotImplementedError
