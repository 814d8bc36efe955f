"""Where a results history lives: a database URL, and the same URL safe to print."""

import os
import re
from typing import Optional, Tuple
from urllib.parse import unquote, urlsplit

ENV_VAR = "KORVO_REPORT_DB"
DEFAULT_FILE = "korvo-history.db"

# user:password@ in a URL; the password is what must never be shown.
_CREDENTIALS = re.compile(r"(?P<scheme>[A-Za-z][A-Za-z0-9+.-]*://)(?P<user>[^:@/\s]*):(?P<secret>[^@\s]*)@")
_PASSWORD_PARAM = re.compile(r"(?i)(password=)[^&\s]*")


class StoreURLError(ValueError):
    """A --db value that names no store we can open."""


def resolve(url: Optional[str] = None) -> str:
    """The store to use: `url`, else $KORVO_REPORT_DB, else korvo-history.db here."""
    if url:
        return url
    return os.environ.get(ENV_VAR) or "sqlite:///" + DEFAULT_FILE


def parse(url: str) -> Tuple[str, str]:
    """("sqlite", path) or ("postgresql", url) for a store URL."""
    if url.startswith("sqlite:///"):
        path = unquote(url[len("sqlite:///"):])
        if not path:
            raise StoreURLError("sqlite:/// needs a path: sqlite:///korvo-history.db")
        return "sqlite", path
    scheme = urlsplit(url).scheme.lower()
    if scheme in ("postgresql", "postgres"):
        return "postgresql", url
    if "://" not in url:
        raise StoreURLError("%s is not a store URL: give sqlite:///PATH or postgresql://..."
                            % redact(repr(url)))
    raise StoreURLError("unknown store %s: give sqlite:///PATH or postgresql://..."
                        % redact(repr(scheme + "://")))


def redact(text: str) -> str:
    """`text` with every password in a URL or connection string replaced by ***."""
    text = _CREDENTIALS.sub(lambda m: "%s%s:***@" % (m.group("scheme"), m.group("user")), text)
    return _PASSWORD_PARAM.sub(r"\1***", text)
