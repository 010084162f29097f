"""Wine sessions for the run, the benchmark and the tests, by concern:

    x86        how 32-bit x86 code runs here, and the command prefix that runs it so
    wine       the tools the build found, and Wine's programs run for one prefix
    prefixes   the template, fresh prefixes copied from it, someone's own prefix
    server     whether a wineserver already serves a prefix
    display    the virtual X display and the windows on it
    processes  deadlines, waits, and the guard that ends what a killed session left
    registry   settings made in someone's prefix for one run, put back afterwards
    session    the whole: opened in a with statement, taken down however it ends

The modules use only the standard library and each other, in that order
upwards; nothing here uses the run, the tests or the benchmark."""

from .processes import Error
from .session import Session, main
from .wine import load, windows_path
