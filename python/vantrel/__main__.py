import sys

from vantrel.cli import main

if __name__ == "__main__":
    sys.exit(main())
