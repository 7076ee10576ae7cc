"""Where the packages of scripts/package.sh are and what the project version is; a test whose
package is missing skips with one line (scripts/run-tests.sh always makes them first)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

DIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist")
VERSION = harness.project_version()
SKIPPED = 77


def package(name):
    """The path of a package in dist/, or the skip code when it was not made."""
    path = os.path.join(DIST, name.format(version=VERSION))
    if not os.path.exists(path):
        print("%s is missing (bash scripts/package.sh makes it); test skipped" % path)
        sys.exit(SKIPPED)
    return path
