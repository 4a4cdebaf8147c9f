"""Entry point of the `quorvale` command and of `python -m quorvale`."""

import sys

from quorvale._core import _cli


def main() -> int:
    return _cli(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
