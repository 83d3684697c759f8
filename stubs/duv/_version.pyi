"""Version record of the installed package, laid out as packaging tools write one."""

__all__ = ["__version__", "__version_tuple__", "version", "version_tuple", "__commit_id__", "commit_id"]

TYPE_CHECKING: bool
"""``False``; ``VERSION_TUPLE`` and ``COMMIT_ID`` are therefore bound to ``object``."""
VERSION_TUPLE = object
"""``object``, the placeholder packaging tools bind outside type checking; ``version_tuple`` is a tuple of ints."""
COMMIT_ID = object
"""``object``, the placeholder packaging tools bind outside type checking; ``commit_id`` is a string."""

version: str
"""The release, for example ``"0.0.22"``."""
__version__: str
"""The release, for example ``"0.0.22"``."""
__version_tuple__: tuple[int, ...]
"""The release as a tuple of ints, for example ``(0, 0, 22)``."""
version_tuple: tuple[int, ...]
"""The release as a tuple of ints, for example ``(0, 0, 22)``."""
commit_id: str
"""The commit the library was built from: ``"g"`` followed by nine hexadecimal digits."""
__commit_id__: str
"""The commit the library was built from: ``"g"`` followed by nine hexadecimal digits."""
