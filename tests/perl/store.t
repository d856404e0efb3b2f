# The system store under several processes, a killed writer, a user who may
# not write the machine part, and files that are damaged, foreign or newer:
# nothing committed is lost, nothing is silently replaced.
use strict;
use warnings;
use Test::More;
use POSIX ();
use Digest::MD5 qw(md5_hex);
use LmxTest qw(finish kit write_file read_file);
use LmxTest::Registry qw(fresh_store sql lmxreg);
use LmxTest::Untgz qw(run_script);

BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }

my $R = 'KALDOR::Install::System::Win32::Registry';
sub call { my $name = shift; return $R->can($name)->(@_) }
use constant HKLM => -2147483646;
use constant HKCU => -2147483647;
use constant ALL => 0xF003F;
use constant READ => 0x20019;

sub create {
    my ($root, $path) = @_;
    my ($key, $disposition);
    call('RegCreateKeyEx', $root, $path, 0, undef, 0, ALL, undef, $key, $disposition) == 0
      or die "cannot create $path\n";
    return $key;
}

sub value_count {
    my ($key) = @_;
    my ($subkeys, $values);
    call('RegQueryInfoKey', $key, 0, 0, 0, $subkeys, 0, 0, $values, 0, 0, 0, 0) == 0 or return -1;
    return $values;
}

subtest '8 processes set 500 values each under one key' => sub {
    fresh_store();
    my $key = create(HKLM, 'SOFTWARE\\Busy');
    my @children;
    for my $writer (1 .. 8) {
        my $pid = fork() // die "fork: $!\n";
        if ($pid == 0) {
            my $failed = 0;
            for my $i (1 .. 500) {
                $failed++ if call('RegSetValueEx', $key, "w$writer-$i", 0, 4, $i, 0) != 0;
            }
            POSIX::_exit($failed ? 1 : 0);
        }
        push @children, $pid;
    }
    my @codes = map { waitpid($_, 0); $? >> 8 } @children;
    is_deeply(\@codes, [(0) x 8], 'every RegSetValueEx returned 0');
    is(value_count($key), 4000, 'all 4,000 values are there');
    my ($type, $data, $size);
    call('RegQueryValueEx', $key, 'w8-500', 0, $type, $data, $size);
    is($data, 500, 'with their data');
};

subtest 'a writer killed mid-write loses nothing it committed' => sub {
    my $store = fresh_store();
    create(HKLM, 'SOFTWARE\\Killed');
    my @committed;
    for my $round (1 .. 3) {
        pipe(my $reader, my $writer) or die "pipe: $!\n";
        my $pid = fork() // die "fork: $!\n";
        if ($pid == 0) {
            close $reader;
            my $key = create(HKLM, 'SOFTWARE\\Killed');
            for (my $i = 1; ; ++$i) {
                my $name = "r$round-$i";
                syswrite($writer, "$name\n") if call('RegSetValueEx', $key, $name, 0, 1,
                                                     "data of $name" x 20, 0) == 0;
            }
        }
        close $writer;
        my $stop = 50 + int(rand(400));
        my $seen = 0;
        while (my $line = <$reader>) {
            chomp $line;
            push @committed, $line;
            last if ++$seen >= $stop;
        }
        kill 'KILL', $pid;
        waitpid($pid, 0);
        close $reader;
    }
    is(sql("$store/machine.db", 'PRAGMA integrity_check'), 'ok', 'the part passes the integrity check');
    my $key = create(HKLM, 'SOFTWARE\\Killed');
    my @missing = grep {
        my ($t, $d, $s);
        call('RegQueryValueEx', $key, $_, 0, $t, $d, $s) != 0 || $d ne "data of $_" x 20
    } @committed;
    is_deeply(\@missing, [], scalar(@committed) . ' values reported as set are all there, whole');
};

subtest 'a user who may not write the machine part' => sub {
    plan skip_all => 'needs root to run a test as nobody' if $> != 0;
    plan skip_all => 'setpriv is missing' if system('command -v setpriv >/dev/null') != 0;
    my @nobody = (prefix => ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']);
    my ($probe) = run_script("0;\n", @nobody);
    plan skip_all => 'nobody cannot run the kit from here' if $probe != 0;

    # The machine part is made by another process (lmxreg, as root), so
    # that this one holds no connection to it.
    my $store = fresh_store();
    my ($made) = lmxreg(['add', 'HKLM\\SOFTWARE\\Shared', '/v', 'Greeting', '/d', 'hello']);
    is($made, 0, 'root writes HKLM');
    my $script = <<'PL';
BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }
package KALDOR::Install::System::Win32::Registry;
my ($key, $disposition, $type, $data, $size, $mine, $back);
my @r;
push @r, RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Shared', 0, KEY_READ, $key);
push @r, RegQueryValueEx($key, 'Greeting', 0, $type, $data, $size), $data;
push @r, RegSetValueEx($key, 'Greeting', 0, REG_SZ, 'changed', 0);
push @r, RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Shared', 0, KEY_SET_VALUE, $mine);
push @r, RegCreateKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Shared', 0, undef, 0, KEY_READ, undef, $mine, $disposition);
push @r, RegCreateKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\New', 0, undef, 0, KEY_READ, undef, $mine, $disposition);
push @r, RegDeleteKey(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Shared');
push @r, RegDeleteKey(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Absent');
push @r, RegCreateKeyEx(HKEY_CURRENT_USER, 'Software\\Mine', 0, undef, 0, KEY_ALL_ACCESS, undef, $mine, $disposition);
push @r, RegSetValueEx($mine, 'v', 0, REG_SZ, 'own', 0);
push @r, RegQueryValueEx($mine, 'v', 0, $type, $back, $size), $back;
print join(',', @r), "\n";
0;
PL
    my ($code, $out, $err) = run_script($script, @nobody);
    is($code, 0, 'the script runs') or diag $err;
    is($out, "0,0,hello,-1,5,0,-1,5,2,0,0,0,own\n",
       'HKLM reads; writing it gives 5 (or -1), existing keys still open; HKCU is writable');
    my (undef, $shown) = lmxreg(['query', 'HKLM\\SOFTWARE\\Shared', '/v', 'Greeting']);
    like($shown, qr/Greeting    REG_SZ    hello\n/, 'HKLM is unchanged');
    my ($rc, undef, $lmxreg_err) = lmxreg(['add', 'HKLM\\SOFTWARE\\Shared', '/v', 'x', '/d', 'y'],
                                          @nobody);
    is($rc, 1, 'lmxreg fails for nobody');
    like($lmxreg_err, qr/^lmxreg: HKEY_LOCAL_MACHINE\\SOFTWARE\\Shared: .*Access is denied\.[^\n]*\n\z/,
         'with one clear line');

    # Without its -wal and -shm files (an outside tool removed them), the
    # part still reads for a user who may not create them.
    sql("$store/machine.db", 'SELECT count(*) FROM reg_keys');
    ok(!-e "$store/machine.db-shm", 'the -shm file is gone');
    ($code, $out) = run_script($script, @nobody);
    like($out, qr/^0,0,hello,/, 'HKLM still reads');

    # A part made before the account tables existed: still readable for
    # nobody; the first process that may write it adds them.
    sql("$store/machine.db", "DELETE FROM store_components WHERE name = 'admin'; "
        . join('', map { "DROP TABLE $_;" } qw(acct_next_rid acct_users acct_groups acct_members
                                               acct_rights shares drives)));
    ($code, $out) = run_script($script, @nobody);
    like($out, qr/^0,0,hello,/, 'a part without a newer component reads');
    ($code, $out) = run_script(<<'PL', @nobody);
bootstrap KALDOR::Install::System::Win32::API;
print join('|', KALDOR::Install::System::Win32::API::infoUser('nobody'),
           KALDOR::Install::System::Win32::API::ShareInfo('docs')), "\n";
0;
PL
    like($out, qr/^0\|.*\|2310$/, 'and its queries answer as an empty store');
    lmxreg(['query', 'HKLM\\SOFTWARE\\Shared']);
    is(sql("$store/machine.db", "SELECT version FROM store_components WHERE name = 'admin'"), 1,
       'root brings the part up to date');

    # A store directory nobody may write, holding nothing: reads see the
    # seeded keys, writes give 5, and nothing is made.
    my $locked = LmxTest::temp_dir();
    chmod 0555, $locked;
    ($code, $out) = run_script(<<'PL', @nobody, env => { LMX_STORE_DIR => $locked });
BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }
package KALDOR::Install::System::Win32::Registry;
my ($key, $disposition);
print join(',', RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Classes', 0, KEY_READ, $key),
           RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Nope', 0, KEY_READ, $key),
           RegOpenKeyEx(HKEY_CURRENT_USER, 'Software', 0, KEY_ALL_ACCESS, $key),
           RegCreateKeyEx(HKEY_CURRENT_USER, 'Software\\X', 0, undef, 0, KEY_ALL_ACCESS, undef, $key, $disposition)), "\n";
0;
PL
    is($out, "0,2,5,-1\n", 'a read-only store directory reads as seeded and refuses writes');
    opendir(my $dh, $locked);
    is_deeply([grep { !/^\.\.?$/ } readdir $dh], [], 'and stays empty');
};

subtest 'damaged, foreign and newer part files' => sub {
    my $good = fresh_store();
    my $key = create(HKLM, 'SOFTWARE\\Filled');
    call('RegSetValueEx', $key, "v$_", 0, 3, 'x' x 300, 0) for 1 .. 200;
    sql("$good/machine.db", 'PRAGMA wal_checkpoint(TRUNCATE)');
    my $whole = read_file("$good/machine.db");
    my %cases = (garbage => 'not a database at all' x 300, empty => '',
                 truncated => substr($whole, 0, int(length($whole) / 3)));
    for my $case (sort keys %cases) {
        my $store = fresh_store();
        write_file("$store/machine.db", $cases{$case});
        my $result;
        my $rc = call('RegOpenKeyEx', HKLM, 'SOFTWARE\\Filled', 0, READ, $result);
        $rc = value_count($result) if $rc == 0;    # damage past the first pages shows on reading
        ok($rc == 1009 || $rc == -1, "$case: reported ($rc)");
        my ($code, undef, $err) = lmxreg(['query', 'HKLM\\SOFTWARE\\Filled', '/s']);
        is($code, 1, "$case: lmxreg fails");
        like($err, qr/^lmxreg: .*(corrupt|no such key).*\n\z/, "$case: in one line");
        is(md5_hex(read_file("$store/machine.db")), md5_hex($cases{$case}),
           "$case: the file is left as it was");
    }
    my $store = fresh_store();
    system('sqlite3', "$store/machine.db", 'CREATE TABLE notes(t); INSERT INTO notes VALUES (1)');
    my $result;
    is(call('RegOpenKeyEx', HKLM, 'SOFTWARE', 0, READ, $result), 1009, 'another program\'s database: 1009');
    is(sql("$store/machine.db", 'SELECT count(*) FROM notes'), '1', 'and it is untouched');

    $store = fresh_store();
    lmxreg(['add', 'HKLM\\SOFTWARE\\Versioned']);
    sql("$store/machine.db", "UPDATE store_components SET version = 99 WHERE name = 'registry'");
    is(call('RegOpenKeyEx', HKLM, 'SOFTWARE', 0, READ, $result), 1306, 'a newer schema: 1306');
    my ($code, undef, $err) = lmxreg(['query', 'HKLM\\SOFTWARE']);
    like($err, qr/registry schema version 99 is newer than this program's \(1\)/,
         'lmxreg says why');
};

LmxTest::finish();
