import sys

from kestrune_server import main

sys.exit(main())
