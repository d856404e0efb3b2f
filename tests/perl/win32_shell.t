# KALDOR::Install::System::Win32::API, the shell half: shortcuts (read back
# by lnkinfo and liblnk), starting programs and documents, file identity,
# protected files, drives (also those mapped in the store), shares and the
# paths below them, replacement at the next start (recorded, then carried
# out by lmxreg), windows.
use strict;
use warnings;
use Test::More;
use POSIX ();
use Time::HiRes qw(sleep);
use LmxTest qw(finish kit temp_dir write_file read_file run_kit);
use LmxTest::Registry qw(fresh_store sql lmxreg);
use LmxTest::Users qw(run_as have_setpriv);

my $store = fresh_store();
bootstrap KALDOR::Install::System::Win32::API;
my $api = 'KALDOR::Install::System::Win32::API';
sub call { my $name = shift; no strict 'refs'; return &{"${api}::$name"}(@_) }

my $dir = temp_dir();

# Waits up to five seconds for a file that a started program writes.
sub wait_for {
    my ($path) = @_;
    for (1 .. 100) {
        return read_file($path) if -s $path;
        sleep 0.05;
    }
    return undef;
}

subtest 'shortcuts' => sub {
    my $link = "$dir/app.lnk";
    is(call('CreateShortcut', '/usr/bin/perl', $link, '-e "print 1"', 'Runs Perl', '/tmp',
            '/usr/share/pixmaps/app.ico', 2, 1), 0, 'created with every part and run-as');
    is_deeply([call('ShortcutInfo', $link)], [0, '/usr/bin/perl', 'Runs Perl'],
              'read back: the target as stored, and the description');
    my $win_link = $link =~ s{/}{\\}gr;
    is_deeply([call('ShortcutInfo', "C:$win_link")], [0, '/usr/bin/perl', 'Runs Perl'],
              'the link named in Windows form');
    SKIP: {
        skip 'lnkinfo is not installed', 6 unless system('lnkinfo -V >/dev/null 2>&1') == 0;
        my $info = `lnkinfo $link 2>&1`;
        like($info, qr/^\s*Local path\s*: \/usr\/bin\/perl$/m, 'lnkinfo: the target');
        like($info, qr/^\s*Description\s*: Runs Perl$/m, 'lnkinfo: the description');
        like($info, qr/^\s*Command line arguments\s*: -e "print 1"$/m, 'lnkinfo: the arguments');
        like($info, qr/^\s*Working directory\s*: \/tmp$/m, 'lnkinfo: the working directory');
        like($info, qr/^\s*Icon location\s*: \/usr\/share\/pixmaps\/app.ico$/m, 'lnkinfo: the icon');
        like($info, qr/^\s*Icon index\s*: 2$/m, 'lnkinfo: the icon index');
    }
    SKIP: {
        my $flags = `python3 - '$link' 2>/dev/null <<'PY'
import ctypes, sys
lib = ctypes.CDLL("liblnk.so.1")
f, e, flags = ctypes.c_void_p(), ctypes.c_void_p(), ctypes.c_uint32()
assert lib.liblnk_file_initialize(ctypes.byref(f), ctypes.byref(e)) == 1
assert lib.liblnk_file_open(f, sys.argv[1].encode(), 1, ctypes.byref(e)) == 1
assert lib.liblnk_file_get_data_flags(f, ctypes.byref(flags), ctypes.byref(e)) == 1
print(flags.value)
PY`;
        skip 'liblnk cannot be loaded from python3', 2 unless $flags =~ /^\d+$/;
        ok($flags & 0x2000, 'liblnk: the run-as-user flag is set');
        is(call('CreateShortcut', '/usr/bin/perl', "$dir/plain.lnk"), 0, 'a plain shortcut');
    }

    my $text = write_file("$dir/notes.txt", "not a shortcut\n");
    my @r = call('ShortcutInfo', $text);
    is($r[0], -1, 'a text file is no shortcut');
    like($r[1], qr/^IPersistFile::Load failed: HRESULT 0x[0-9a-f]+$/, 'with the failing step');
    is_deeply([call('ShortcutInfo', "$dir/missing.lnk")],
              [-1, 'IPersistFile::Load failed: HRESULT 0x80070002'], 'a missing file');
    is(call('CreateShortcut', '/usr/bin/perl', "$dir/no/such/dir/x.lnk"), -1,
       'a link where no directory is');
    is(call('CreateShortcut', '/usr/bin/perl', '/' . ('x' x 300) . '.lnk'), -1,
       'a link name beyond 260 characters');
    is(call('CreateShortcut', '/usr/bin/perl'), undef, 'one argument');
    is(call('CreateShortcut', 42, "$dir/n.lnk"), undef, 'a number is no target');
    is(call('CreateShortcut', '/usr/bin/perl', "$dir/n.lnk", "a\0b"), undef, 'a NUL in a text');
    is(call('ShortcutInfo', $link, 1), undef, 'two arguments');
};

subtest 'file identity' => sub {
    my $file = write_file("$dir/id/file", 'x');
    link($file, "$dir/id/hard") or die "link: $!\n";
    write_file("$dir/id/other", 'y');
    my @id = call('GetFileId', $file);
    is(scalar(@id), 3, 'serial, index low, index high');
    is_deeply([call('GetFileId', "$dir/id/hard")], \@id, 'a hard link is the same file');
    is_deeply([call('GetFileId', "C:" . ("$dir/id/file" =~ s{/}{\\}gr))], \@id, 'any spelling');
    isnt(join(',', call('GetFileId', "$dir/id/other")), join(',', @id), 'another file differs');
    my @st = stat $file;
    is($id[1] + $id[2] * 2**32, $st[1], 'the index is the inode');
    is(scalar(() = call('GetFileId', "$dir/id")), 3, 'a directory');
    system('mkfifo', "$dir/id/fifo") == 0 or die;
    is(scalar(() = call('GetFileId', "$dir/id/fifo")), 3, 'a FIFO, without waiting for a writer');
    is_deeply([call('GetFileId', "$dir/id/missing")], [undef], 'a missing file');
    is_deeply([call('GetFileId')], [undef], 'no argument');
};

subtest 'protected files' => sub {
    plan skip_all => 'no dpkg database' unless -d '/var/lib/dpkg/info';
    my ($libc) = grep { -e } '/lib/x86_64-linux-gnu/libc.so.6', '/lib/aarch64-linux-gnu/libc.so.6';
    SKIP: {
        skip 'no libc at a known place', 2 unless $libc;
        is(call('SfcIsFileProtected', $libc), 1, 'a system library as its package lists it');
        is(call('SfcIsFileProtected', "/usr$libc"), 1, 'and below /usr, where it really is');
    }
    is(call('SfcIsFileProtected', 'C:\\usr\\bin\\perl'), 1, 'a program, in Windows form');
    is(call('SfcIsFileProtected', write_file("$dir/tmpfile", '')), 0, 'a temporary file');
    is(call('SfcIsFileProtected', '/usr/bin'), 0, 'a directory');
    is(call('SfcIsFileProtected', 'Q:\\x'), undef, 'a drive that is not mapped');
};

subtest 'drives' => sub {
    SKIP: {
        my $root = (grep { (split ' ')[4] eq '/' } split /\n/, read_file('/proc/self/mountinfo'))[-1];
        skip 'the root filesystem is mounted read-only here', 1
          if (split ' ', $root // '')[5] =~ /(^|,)ro(,|$)/;
        is_deeply([call('GetHDDrives')], ['C:'], 'the default table: C: is the root filesystem');
    }
    is_deeply([call('GetHDDrives', 1)], [undef], 'no arguments taken');
    my $fixed = temp_dir();
    # A read-only bind mount of a directory, where root may make one.
    my $ro = "$fixed/ro";
    mkdir $ro;
    my $mounted = $> == 0 && system("mount --bind '$fixed' '$ro' 2>/dev/null") == 0;
    if ($mounted && system("mount -o remount,bind,ro '$ro' 2>/dev/null") != 0) {
        system("umount '$ro'");
        $mounted = 0;
    }
    my $map = "D=/dev/shm;E=$fixed;F=/nonexistent-drive" . ($mounted ? ";R=$ro" : '');
    my ($code, $out) = run_kit(kit() . '/ryninst', ['--script', write_file("$dir/drives.pl", <<'PL')],
bootstrap KALDOR::Install::System::Win32::API;
print join(',', KALDOR::Install::System::Win32::API::GetHDDrives()), "\n";
0;
PL
                               env => {LMX_DRIVE_MAP => $map});
    like($out, qr/(^|,)E:(,|$)/, 'a mapped local directory is a fixed drive');
    unlike($out, qr/D:|F:|R:/, 'a RAM disk, a missing root and a read-only mount do not qualify');
    system("umount '$ro'") if $mounted;
    note($mounted ? 'with a read-only mount' : 'no read-only mount could be made (needs root)');

    SKIP: {
        skip 'needs root (the machine part is writable by root)', 9 unless $> == 0;
        my $file = write_file("$fixed/on-e.txt", 'e');
        my ($code, $out, $err) = lmxreg(['drive', 'e:', $fixed]);
        is($code, 0, 'lmxreg drive maps E: in the store') or diag $err;
        is_deeply([call('GetFileId', 'E:\\on-e.txt')], [call('GetFileId', $file)],
                  'E: paths go to its directory');
        like(join(',', call('GetHDDrives')), qr/(^|,)E:(,|$)/, 'and it is a fixed drive');
        (undef, $out) = lmxreg(['drive']);
        is($out, "E: $fixed\n", 'lmxreg drive lists the mapping');
        ($code, undef, $err) = lmxreg(['drive', 'C:', $fixed]);
        like($err, qr/^lmxreg: C: is not a letter .*always/, 'C: cannot be mapped');
        ($code, undef, $err) = lmxreg(['drive', 'G:', 'relative']);
        is($code, 1, 'nor a letter to a relative or missing directory');
        ($code) = lmxreg(['drive', 'E:', '/d']);
        is($code, 0, 'lmxreg drive E: /d removes it');
        is_deeply([call('GetFileId', 'E:\\on-e.txt')], [undef], 'E: is gone');
        ($code, undef, $err) = lmxreg(['drive', 'E:', '/d']);
        like($err, qr/^lmxreg: E: is not mapped in the store$/, 'removing it again fails');
    }
};

subtest 'starting programs and documents' => sub {
    my $bin = temp_dir();
    my $program = write_file("$bin/tool", "#!/bin/sh\nprintf '%s|' \"\$@\" \"\$PWD\" "
                             . "\"\$(readlink /proc/\$\$/fd/1)\" > \"\$OUT\"\n");
    chmod 0755, $program;
    write_file("$bin/xdg-open", "#!/bin/sh\nprintf '%s' \"\$1\" > \"\$OUT\"\n");
    chmod 0755, "$bin/xdg-open";
    local $ENV{PATH} = "$bin:$ENV{PATH}";
    local $ENV{OUT} = "$dir/started";
    my $work = temp_dir();
    is(call('ShellExecute', $program, 'a "b c"', $work), 1, 'an executable file');
    my $seen = wait_for("$dir/started");
    is($seen, "a|b c|$work|/dev/null|", 'started directly, with its arguments and directory, hidden');
    unlink "$dir/started";
    is(call('ShellExecute', 'tool', '', '', 'open', 1), 1, 'a program found in PATH, shown');
    $seen = wait_for("$dir/started") // '';
    unlike($seen, qr{\|/dev/null\|$}, 'a shown program shares the standard handles');
    unlink "$dir/started";
    my $document = write_file("$dir/readme.txt", "text\n");
    is(call('ShellExecute', $document), 1, 'a document goes to xdg-open');
    is(wait_for("$dir/started"), $document, 'with its path');
    unlink "$dir/started";
    is(call('ShellExecute', 'https://example.invalid/page'), 1, 'a URL');
    is(wait_for("$dir/started"), 'https://example.invalid/page', 'as it is');
    is(call('ShellExecute', "$dir/missing"), undef, 'a missing file');
    is(call('ShellExecute', $document, '', '', 'print'), undef, 'only "open" is known');
    is(call('ShellExecute', $program, '', "$dir/no-such-dir"), undef, 'a missing directory');
    is(call('ShellExecute'), undef, 'no file');
    local $ENV{PATH} = '/nonexistent';
    is(call('ShellExecute', $document), undef, 'a document without xdg-open');
};

subtest 'shares' => sub {
    is(call('ShareAdd', 'docs', "$dir/no-such-dir"), 2116, 'the path must exist');
    is(call('ShareAdd', 'bad:name', $dir), 123, 'an invalid name');
    is(call('ShareAdd', 'docs', $dir, '\\\\elsewhere'), 53, 'another server');
    is(call('ShareDel', 'no-such-share'), 2310, 'deleting an unknown share');
    is_deeply([call('ShareInfo', 'no-such-share')], [2310], 'an unknown share');
    is(call('ShareAdd', 'docs'), undef, 'no path');
    my $computer = call('GetComputerName');
    is(KALDOR::Install::FSUsage::GetFSSize("\\\\$computer\\no-such-share"), undef,
       'a path below an unknown share names nothing')
      if eval { bootstrap KALDOR::Install::FSUsage; 1 };
    is(call('ShareAdd', 'x' x 81, $dir), 123, 'a name of 81 characters');
    is(call('ShareAdd', "do\0cs", $dir), undef, 'a NUL in the name');
    is(call('ShareAdd', 42, $dir), undef, 'a number is no name');

    plan skip_all => 'needs root (the machine part is writable by root)' unless $> == 0;
    my $shared = temp_dir();
    my $file = write_file("$shared/sub/file.txt", "shared\n");
    is(call('ShareAdd', 'Docs', $shared, '', 'Shared documents'), 0, 'a share');
    is(call('ShareAdd', 'DOCS', $dir), 2118, 'the name in other case is taken');
    is_deeply([call('ShareInfo', 'docs')], [0, $shared, 'Shared documents'], 'its path and remark');
    my @id = call('GetFileId', $file);
    is_deeply([call('GetFileId', "\\\\$computer\\docs\\sub\\file.txt")], \@id,
              'a file below \\\\COMPUTER\\share');
    is_deeply([call('GetFileId', '//localhost/Docs/sub/file.txt')], \@id, 'and below //localhost/share');
    is_deeply([call('GetFileId', "\\\\$computer\\docs\\..\\..\\etc\\passwd")], [undef],
              'no path out of the share');
    is_deeply([KALDOR::Install::FSUsage::GetFSSize("\\\\$computer\\docs")],
              [KALDOR::Install::FSUsage::GetFSSize($shared)], 'FSUsage sees the share\'s filesystem');
    my ($code, $out) = run_kit(kit() . '/ryninst', ['--script', write_file("$dir/share.pl", <<"PL")]);
bootstrap KALDOR::Install::System::Win32::API;
my \$a = 'KALDOR::Install::System::Win32::API';
print join('|', \$a->can('ShareInfo')->('docs'), \$a->can('GetFileId')->('\\\\\\\\localhost\\\\docs\\\\sub\\\\file.txt')), "\\n";
0;
PL
    is($out, join('|', 0, $shared, 'Shared documents', @id) . "\n",
       'a second process sees the share and the files below it');
    is(call('ShareDel', 'DOCS'), 0, 'ShareDel');
    is_deeply([call('ShareInfo', 'docs')], [2310], 'the share is gone');
    is_deeply([call('GetFileId', "\\\\$computer\\docs\\sub\\file.txt")], [undef],
              'and with it the paths below it');
};

subtest 'replacement at the next start, carried out by lmxreg' => sub {
    plan skip_all => 'needs root (the machine part is writable by root)' unless $> == 0;
    my $work = temp_dir();
    write_file("$work/new", 'new');
    write_file("$work/old", 'old');
    write_file("$work/gone", 'gone');
    write_file("$work/kept", 'kept');
    is_deeply([call('MoveFileAfterReboot', "$work/new", "$work/old")], [0], 'a replacement');
    is_deeply([call('MoveFileAfterReboot', 'C:' . ("$work/gone" =~ s{/}{\\}gr))], [0],
              'a deletion, named in Windows form');
    ok(-e "$work/new" && -e "$work/gone", 'nothing happens before the start');
    my ($code, $out) = lmxreg(['pending']);
    is($out, "replace \\??\\$work/new -> \\??\\$work/old\ndelete  \\??\\$work/gone\n",
       'lmxreg pending lists them as host paths');
    my $stored = sql("$store/machine.db", "SELECT hex(data) FROM reg_values "
                                          . "WHERE name = 'PendingFileRenameOperations'");
    is(pack('H*', $stored), join('', map { "$_\0" } "\\??\\$work/new", "!\\??\\$work/old", "\\??\\$work/gone", '') . "\0",
       'kept where Windows keeps them: source, "!" and target; source and an empty target');
    ($code, $out) = lmxreg(['pending', '--run']);
    is($code, 0, 'lmxreg pending --run');
    is(read_file("$work/old"), 'new', 'the file was replaced');
    ok(!-e "$work/new" && !-e "$work/gone", 'the source moved, the deleted file is gone');
    is((lmxreg(['pending']))[1], "No operations are pending.\n", 'and the list is cleared');

    # MoveFileExA without replacement, and an operation that fails.
    write_file("$work/other", 'other');
    ($code) = lmxreg(['add', 'HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager',
                      '/v', 'PendingFileRenameOperations', '/t', 'REG_MULTI_SZ', '/d',
                      "\\??\\$work/other|\\??\\$work/kept|\\??\\$work/missing||\\??\\$work/other|\\??\\$work/moved",
                      '/s', '|']);
    is($code, 0, 'operations written with the store tool');
    my $err;
    ($code, $out, $err) = lmxreg(['pending', '/run']);
    is($code, 1, 'a failed operation gives exit code 1');
    like($err, qr/^lmxreg: rename  .*kept: Cannot create a file when that file already exists\./m,
         'a rename without "!" does not replace');
    like($err, qr/^lmxreg: delete  .*missing: The system cannot find the file specified\./m,
         'a missing file is reported');
    is(read_file("$work/moved") . read_file("$work/kept"), 'otherkept', 'the others were carried out');
    is((lmxreg(['pending']))[1], "No operations are pending.\n", 'failed ones are dropped too');

    my @children = map {
        my $writer = $_;
        my $pid = fork() // die "fork: $!\n";
        if ($pid == 0) {
            my $failed = grep { (call('MoveFileAfterReboot', "$work/w$writer-$_"))[0] != 0 } 1 .. 10;
            POSIX::_exit($failed ? 1 : 0);
        }
        $pid;
    } 1 .. 4;
    is_deeply([map { waitpid($_, 0); $? >> 8 } @children], [0, 0, 0, 0], 'four processes schedule 10 each');
    my @listed = split /\n/, (lmxreg(['pending']))[1];
    is(scalar(@listed), 40, 'no operation is lost');
    is_deeply([grep { m{/w3-\d+$} } @listed], [map { "delete  \\??\\$work/w3-$_" } 1 .. 10],
              'each process\'s operations in its order');
    lmxreg(['pending', '--run']);
};

subtest 'replacement at the next start and windows' => sub {
    is_deeply([call('MoveFileAfterReboot')], [undef], 'no source');
    is(call('DestroyWindow', 1234), 0, 'no handle names a window');
    plan skip_all => 'setpriv is not available' unless have_setpriv();
    my ($code, $out) = run_as('nobody', <<'PL');
bootstrap KALDOR::Install::System::Win32::API;
print join('|', KALDOR::Install::System::Win32::API::MoveFileAfterReboot('/tmp/a', '/tmp/b')), "\n";
print join('|', KALDOR::Install::System::Win32::API::MoveFileAfterReboot('/tmp/a')), "\n";
0;
PL
    is($out, "-1|Access is denied. \n" x 2, 'without the right to write HKLM: the text for 5');
    ($code, undef, my $err) = lmxreg(['pending', '--run'], prefix => ['setpriv', '--reuid=nobody',
                                      '--regid=nogroup', '--clear-groups']);
    like($err, qr/^lmxreg: PendingFileRenameOperations: Access is denied\./, 'nor carry them out');
};

finish();
