"""The errors the package's library functions raise for the caller's own
mistakes. The command line turns each into one line on standard error and
exit status 2; a script catches them like any ValueError."""


class UsageError(ValueError):
    """A bad argument or setting, found before any browser starts."""


class RunError(RuntimeError):
    """A run failed as a whole (not one device of it): the output folder
    could not be created, or the module refused the run."""
