"""Registry settings a session makes in someone's prefix for its own run alone."""

from pathlib import Path

from .wine import Error, windows_path


class Settings:
    """Each key a setting changed is put back as it was when the session ends,
    or removed where it did not exist."""

    def __init__(self, wine, folder):
        self.wine, self.folder = wine, Path(folder)
        self.saved = []  # (key, its export from before or None), in order

    def set(self, key, name, data):
        export = self.folder / f"saved-{len(self.saved)}.reg"
        done = self.wine.run("reg", "export", key, windows_path(export), "/y", loader=self.wine.tool,
                             capture_output=True)
        self.saved.append((key, export if done.returncode == 0 else None))
        self.wine.reg("add", key, "/v", name, "/d", data, "/f")

    def restore(self):
        """Puts every key back; returns what could not be."""
        problems = []
        while self.saved:
            key, export = self.saved.pop()
            self.wine.run("reg", "delete", key, "/f", loader=self.wine.tool, capture_output=True)
            if export:
                try:
                    self.wine.reg("import", windows_path(export))
                except Error as error:
                    problems.append(f"could not put back {key} in {self.wine.env['WINEPREFIX']} as it was: {error}")
        return problems
