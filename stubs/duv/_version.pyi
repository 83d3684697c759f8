"""Version record of the installed package, laid out as packaging tools write one."""

from typing import Tuple, TypeAlias, Union

__all__ = ["__version__", "__version_tuple__", "version", "version_tuple", "__commit_id__", "commit_id"]

TYPE_CHECKING: bool
"""``False`` at run time, where ``VERSION_TUPLE`` and ``COMMIT_ID`` are bound to ``object``."""
VERSION_TUPLE: TypeAlias = Tuple[Union[int, str], ...]
"""Type of the version tuple: the release numbers, possibly followed by pre-release or local parts."""
COMMIT_ID: TypeAlias = Union[str, None]
"""Type of the commit identifier."""

version: str
"""The release, for example ``"0.0.22"``."""
__version__: str
"""The release, for example ``"0.0.22"``."""
__version_tuple__: VERSION_TUPLE
"""The release as a tuple of ints, for example ``(0, 0, 22)``."""
version_tuple: VERSION_TUPLE
"""The release as a tuple of ints, for example ``(0, 0, 22)``."""
commit_id: COMMIT_ID
"""The commit the library was built from: ``"g"`` followed by nine hexadecimal digits."""
__commit_id__: COMMIT_ID
"""The commit the library was built from: ``"g"`` followed by nine hexadecimal digits."""
