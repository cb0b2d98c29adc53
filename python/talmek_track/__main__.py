import sys

from talmek_track.cli import main

sys.exit(main())
