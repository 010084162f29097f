"""Wine sessions for the run, the benchmark and the tests, by concern, each
module using only the standard library and the ones above it:

    x86        how 32-bit x86 code runs here, and the command prefix that runs it so
    processes  deadlines, waits, and the guard that ends what a killed session left
    display    the virtual X display and the windows on it
    server     whether a wineserver already serves a prefix
    wine       the tools the build found, and Wine's programs run for one prefix,
               without address randomisation
    registry   settings made in someone's prefix for one run, put back afterwards
    prefixes   the template, fresh prefixes copied from it, someone's own prefix
    session    the whole: opened in a with statement, taken down however it ends

Nothing here uses the run, the tests or the benchmark."""

from .processes import Error
from .session import Session, main
from .wine import load, windows_path
