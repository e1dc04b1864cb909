import sys

from qel_i18n_tools.cli import main

sys.exit(main())
