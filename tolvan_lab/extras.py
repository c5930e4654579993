"""What an adapter says when its framework cannot be imported: the pip line that installs it."""

from __future__ import annotations


def missing(adapter: str, extra: str, framework: str, error: ImportError) -> ImportError:
    """The ImportError for `adapter` (a module name) whose `framework` failed to import with
    `error`, naming the extra that installs it, for a release and for a checkout of tolvan."""
    install = f"`pip install 'tolvan[{extra}]'`, or in a checkout of tolvan `pip install '.[{extra}]'`"
    if isinstance(error, ModuleNotFoundError):
        said = f"{adapter} needs {framework}, which is not installed (no module named {error.name!r}): install it with"
    else:  # a name the installed version does not have: too old, or too new
        said = f"{adapter} needs another version of {framework} than the one installed ({error}): install it with"
    return ImportError(f"{said} {install}", name=error.name)
