import sys

from talmek_track.cli.command import main

sys.exit(main())
