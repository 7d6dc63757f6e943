"""Runs the real installer.exe under Wine in temporary per-user roots; checks console and disk."""
import errno, os, shutil, subprocess, tempfile, unittest
from pathlib import Path

SCRIPT = Path('Mods/aircraft/VIDA_Rorozira/Entry.lua')
HEAD = ('declare_plugin("VIDA Rorozira",\r\n{\r\n\tinstalled = true,\r\n\tdirName = current_mod_path,'
        '\r\n\tversion = "1.0.0",\r\n\tstate = "installed",\r\n\tinfo = _("VIDA Rorozira"),\r\n})\r\n')
LIB_SH = ['bash', str(Path(__file__).resolve().parents[2] / 'support' / 'lib.sh')]
BUILD = Path(os.environ['INSTALLER_BUILD_DIR']).resolve()
EXE = os.environ['INSTALLER_EXE']


def setUpModule():
    (BUILD / 'installer-tests').mkdir(exist_ok=True)
    subprocess.run(LIB_SH + ['french_locale', BUILD], check=True, timeout=60)  # Wine takes cp1252 from it


def script_bytes(root):
    return HEAD.encode() + b'mount_vfs_liveries_path("' + root + b'/ZIR.VESK.Liveries/")\r\nplugin_done()\r\n'


def added(n): return f'Entry.lua a ete ajoute dans {n} !\r\n'.encode()
def missing(n): return f"Le repertoire {n} n'existe pas -> ignore\r\n".encode()
def cannot(root, n): return b"Impossible d'ecrire dans " + root + f'\\{n}\\{SCRIPT}\r\n'.replace('/', '\\').encode()


class InstallerCase(unittest.TestCase):
    def make_root(self, name='root'):
        """A fresh working directory; root text as Wine reports it (Z: maps /), in cp1252."""
        parent = Path(tempfile.mkdtemp(dir=BUILD / 'installer-tests'))
        self.addCleanup(shutil.rmtree, parent, True)
        (parent / name).mkdir()
        return parent / name, ('Z:' + str(parent / name)).encode('cp1252', 'replace')

    def run_installer(self, cwd):
        env = dict(os.environ, LOCPATH=str(BUILD / 'locale'), LANG='fr_FR.UTF-8')
        return subprocess.run(LIB_SH + ['wine_run', BUILD, EXE], cwd=cwd, env=env,
                              capture_output=True, timeout=120)

    def check(self, cwd, root, out=b'', err=b'', rc=0):
        done = self.run_installer(cwd)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (rc, out, err))
        for n in ('ZIR', 'ZIR.openbeta'):
            if added(n) in out:
                self.assertEqual((cwd / n / SCRIPT).read_bytes(), script_bytes(root))


class PerUserFolders(InstallerCase):
    def test_no_folder_creates_nothing(self):
        cwd, root = self.make_root()
        self.check(cwd, root, out=missing('ZIR') + missing('ZIR.openbeta'))
        self.assertEqual(list(cwd.iterdir()), [])

    def test_both_folders_longer_script_replaced_whole(self):
        cwd, root = self.make_root()
        (cwd / 'ZIR' / SCRIPT.parent).mkdir(parents=True)
        (cwd / 'ZIR' / SCRIPT).write_bytes(b'-- old\r\n' * 200)
        (cwd / 'ZIR' / SCRIPT.parent / 'keep.txt').write_bytes(b'k')
        (cwd / 'ZIR.openbeta').mkdir()
        for _ in range(2):  # a second run rewrites identical bytes
            self.check(cwd, root, out=added('ZIR') + added('ZIR.openbeta'))
        self.assertEqual((cwd / 'ZIR' / SCRIPT.parent / 'keep.txt').read_bytes(), b'k')


class RootText(InstallerCase):
    def test_accented_letters_one_cp1252_byte_each_plain_file_zir_absent(self):
        cwd, root = self.make_root('Jeux \u00e9t\u00e9 \u00e0')
        self.assertIn(b'\xe9t\xe9 \xe0', root)
        (cwd / 'ZIR').write_bytes(b'x')
        (cwd / 'ZIR.openbeta').mkdir()
        self.check(cwd, root, out=missing('ZIR') + added('ZIR.openbeta'))
        self.assertEqual((cwd / 'ZIR').read_bytes(), b'x')

    def test_top_of_a_drive_gives_two_slashes(self):
        cwd, _ = self.make_root()
        prefix = subprocess.run(LIB_SH + ['prefix_path', BUILD], capture_output=True, check=True).stdout
        dosdevices = Path(prefix.decode().strip()) / 'dosdevices'
        letter = next(l for l in 'yxwvu' if not os.path.lexists(dosdevices / f'{l}:'))
        os.symlink(cwd, dosdevices / f'{letter}:')
        self.addCleanup(os.unlink, dosdevices / f'{letter}:')
        (cwd / 'ZIR.openbeta').mkdir()
        self.check(cwd, f'{letter.upper()}:/'.encode(), out=missing('ZIR') + added('ZIR.openbeta'))

    def test_unconvertible_directory_writes_nothing(self):
        # No cp1252 byte at all (Greek), or only a look-alike ('\u0101' would be written as 'a').
        for name in ('\u0395\u03bb\u03bb\u03ac\u03b4\u03b1', 'Jeux \u0101'):
            with self.subTest(name=name):
                cwd, _ = self.make_root(name)
                (cwd / 'ZIR').mkdir()
                self.check(cwd, b'', err=b'Impossible de lire le repertoire courant\r\n', rc=1)
                self.assertEqual(list((cwd / 'ZIR').iterdir()), [])


class WriteFailures(InstallerCase):
    def test_immutable_script_reported_other_folder_done(self):
        cwd, root = self.make_root()
        (cwd / 'ZIR' / SCRIPT.parent).mkdir(parents=True)
        (cwd / 'ZIR' / SCRIPT).write_bytes(b'old')
        if subprocess.run(['chattr', '+i', cwd / 'ZIR' / SCRIPT]).returncode:  # root ignores read-only
            self.skipTest('chattr +i does not work on this file system: the read-only case is not run')
        self.addCleanup(subprocess.run, ['chattr', '-i', cwd / 'ZIR' / SCRIPT])
        (cwd / 'ZIR.openbeta').mkdir()
        self.check(cwd, root, out=added('ZIR.openbeta'), err=cannot(root, 'ZIR'))
        self.assertEqual((cwd / 'ZIR' / SCRIPT).read_bytes(), b'old')

    def test_full_disk_and_blocked_folder_reported(self):
        cwd, root = self.make_root()
        (cwd / 'ZIR').mkdir()
        (cwd / 'ZIR' / 'Mods').write_bytes(b'')  # a file where the mod folder chain goes
        disk = cwd / 'ZIR.openbeta'
        disk.mkdir()
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=16k', 'tmpfs', disk]).returncode:
            self.skipTest('cannot mount a tmpfs here: the full-disk case is not run')
        self.addCleanup(subprocess.run, ['umount', disk])
        try:
            with open(disk / 'filler', 'wb') as filler:
                filler.write(b'\0' * 65536)
        except OSError as e:
            self.assertEqual(e.errno, errno.ENOSPC)
        self.check(cwd, root, err=cannot(root, 'ZIR') + cannot(root, 'ZIR.openbeta'))


if __name__ == '__main__':
    unittest.main()
