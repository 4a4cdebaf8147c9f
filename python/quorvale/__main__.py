"""Entry point of the `quorvale` command and of `python -m quorvale`."""

import sys


def main() -> int:
    from quorvale import _core

    cli = getattr(_core, "_cli", None)
    if cli is None:
        print("quorvale: the command line is not part of this build yet", file=sys.stderr)
        return 1
    return cli(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
