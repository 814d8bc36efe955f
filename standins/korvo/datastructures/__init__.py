"""Stand-in of the harness's attribute-access mapping."""

__all__ = ["AttrDict"]


class AttrDict(dict):
    """A dict whose entries can also be read and written as attributes."""

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __repr__(self):
        return "AttrDict(%s)" % dict.__repr__(self)
