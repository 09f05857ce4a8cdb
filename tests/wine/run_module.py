"""Runs one Wine test module for the architecture in REPOHOST_WINE_ARCH, as ctest's case:
  python3 run_module.py <module>
Where this machine's Wine cannot run programs of that architecture, it prints why and exits
with winehost.SKIPPED (ctest's SKIP_RETURN_CODE of the case), so that the case is reported as
skipped, never as passed."""

import sys
import unittest

import winehost

if __name__ == "__main__":
    winehost.exit_if_unsupported("wine_%s_%s" % (sys.argv[1], winehost.ARCH))
    unittest.main(module=sys.argv[1], argv=[sys.argv[0], "-v"])
