"""Tarnwick.exe under Wine, against Wine's registry."""

import unittest

import winehost

RMI_KEY = winehost.SERVICES_KEY + "\\" + winehost.DEPENDENCY
RMI_PARAMETERS_KEY = RMI_KEY + r"\Parameters"
PATH_WITH_BLANKS = r"C:\Program Files\Java\jdk 1.4\bin\rmiregistry"

USAGE = "\nFormat: Tarnwick RMIRegistryPath\nexample: Tarnwick c:\\jdk1.4\\bin\\rmiregistry"
FINISHED = "\nTarnwick is finished."
FAILED = "\nCreate Registry Item failed."


class TarnwickTest(winehost.PrefixTestCase):
    def setUp(self):
        self.prefix.reg_delete_key(RMI_KEY)

    def application(self):
        values = self.prefix.reg_values(RMI_PARAMETERS_KEY)
        return None if values is None else values.get("Application")

    def test_path_with_blanks_is_stored_whole(self):
        self.prefix.reg_add_key(RMI_KEY)
        # One argument: Wine quotes it on the Windows command line.
        status, output = self.prefix.run([self.tarnwick, PATH_WITH_BLANKS])
        self.assertEqual((status, output), (0, FINISHED))
        self.assertEqual(self.application(), ("REG_SZ", PATH_WITH_BLANKS))

    def test_later_path_replaces_earlier(self):
        self.prefix.reg_add_key(RMI_KEY)
        for path in (PATH_WITH_BLANKS, r"D:\jre\bin\rmiregistry.exe"):
            self.assertEqual(self.prefix.run([self.tarnwick, path]), (0, FINISHED))
            self.assertEqual(self.application(), ("REG_SZ", path))

    def test_wrong_argument_counts_give_usage(self):
        self.prefix.reg_add_key(RMI_KEY)
        cases = [
            ("no argument", []),
            ("unquoted path with blanks", PATH_WITH_BLANKS.split(" ")),
            ("two paths", [r"C:\a", r"C:\b"]),
        ]
        for label, args in cases:
            with self.subTest(label):
                self.assertEqual(self.prefix.run([self.tarnwick] + args), (2, USAGE))
                self.assertIsNone(self.prefix.reg_values(RMI_PARAMETERS_KEY))

    def test_missing_service_key_fails(self):
        status, output = self.prefix.run([self.tarnwick, PATH_WITH_BLANKS])
        self.assertEqual((status, output), (1, FAILED))
        self.assertIsNone(self.prefix.reg_values(RMI_KEY))


if __name__ == "__main__":
    unittest.main()
