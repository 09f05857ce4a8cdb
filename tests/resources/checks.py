"""What the checks of this folder share: each error goes to standard error on a line of its own,
and any error makes the exit status 1."""
import sys


def report(errors):
    for error in errors:
        print(error, file=sys.stderr)
    return 1 if errors else 0


def check_pairs(check, arguments):
    """Runs check(left, right), which returns a list of errors, for each argument left=right;
    returns the exit status."""
    errors = []
    for argument in arguments:
        left, right = argument.split("=", 1)
        errors += check(left, right)
    return report(errors)
