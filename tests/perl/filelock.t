# KALDOR::Install::FileLock: whole-file locks that exclude other
# descriptors of the same process and other processes (Python's lockf as
# the outside party), and the package's messages.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file);
use LmxTest::Untgz qw(run_script);

bootstrap KALDOR::Install::FileLock;

my $tmp = temp_dir();
my $file = write_file("$tmp/lock", 'lock file');
my $violation = 'The process cannot access the file because another process has locked a '
  . 'portion of the file. ';

sub descriptor {
    my ($mode) = @_;
    open(my $fh, $mode || '+<', $file) or die "$file: $!\n";
    return $fh;
}

# Whether another process (Python, with POSIX record locks) can take an
# exclusive lock on the file right now.
sub outsider_can_lock {
    my $out = `python3 -c 'import fcntl,sys
f = open(sys.argv[1], "r+")
try:
    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    print("free")
except OSError:
    print("locked")' '$file'`;
    chomp $out;
    return $out eq 'free';
}

subtest 'two descriptors of one file in one process' => sub {
    my ($fh1, $fh2) = (descriptor(), descriptor());
    my $first = KALDOR::Install::FileLock::new(fileno $fh1, 1);
    my $second = KALDOR::Install::FileLock::new(fileno $fh2, 1);
    isa_ok($first, 'KALDOR::Install::FileLock');
    is($first->GetError(), undef, 'no error text yet');
    is($first->Lock(), 0, 'the first lock is taken');
    is($second->Lock(), -1, 'the second is refused');
    is($second->GetError(), "set lock failed: $violation", 'with the system text');
    is($second->Test(), 1, 'Test on the second: another holder');
    is($first->Test(), 0, 'Test on the holder');
    ok(!outsider_can_lock(), 'another process is excluded');
    is($first->Unlock(), 0, 'the first unlocks');
    is($second->Test(), 0, 'Test on the second: free');
    ok(outsider_can_lock(), 'and Test left the file unlocked');
    is($second->Lock(), 0, 'now the second can lock');
    is($second->Unlock(), 0, 'and unlock');
};

subtest 'shared locks' => sub {
    my ($fh1, $fh2, $fh3) = (descriptor(), descriptor(), descriptor());
    my @readers = map { KALDOR::Install::FileLock::new(fileno $_, 0) } $fh1, $fh2;
    my $writer = KALDOR::Install::FileLock::new(fileno $fh3, 1);
    is_deeply([map { $_->Lock() } @readers], [0, 0], 'two shared locks side by side');
    is($writer->Test(), 1, 'an exclusive lock would conflict');
    $_->Unlock() for @readers;
    is($writer->Lock(), 0, 'taken once both are released');
    is($readers[0]->Test(), 1, 'and then a shared one would conflict');
};

subtest 'another process holds the lock' => sub {
    my $held = "$tmp/held";
    my $pid = fork() // die;
    if ($pid == 0) {
        exec 'python3', '-c', 'import fcntl,sys,time
f = open(sys.argv[1], "r+")
fcntl.lockf(f, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(30)', $file, $held;
        exit 127;
    }
    select(undef, undef, undef, 0.05) until -e $held;
    my $fh = descriptor();
    my $lock = KALDOR::Install::FileLock::new(fileno $fh, 1);
    is($lock->Test(), 1, 'Test sees the other holder');
    is($lock->Lock(), -1, 'Lock does not wait');
    like($lock->GetError(), qr/^set lock failed: /, 'and says why');
    {
        local $?;
        kill 'TERM', $pid;
        waitpid $pid, 0;
    }
    is($lock->Test(), 0, 'free once the process is gone');
    is($lock->Lock(), 0, 'so the lock is taken');
    undef $lock;
    ok(!outsider_can_lock(), 'the lock outlives the object: it ends with the descriptor');
    close $fh;
    ok(outsider_can_lock(), 'closing the descriptor ends it');
};

subtest 'failures of the system call' => sub {
    my $ro = descriptor('<');
    my $lock = KALDOR::Install::FileLock::new(fileno $ro, 1);
    is($lock->Lock(), -1, 'an exclusive lock on a read-only descriptor');
    is($lock->GetError(), 'set lock failed: Access is denied. ', 'is refused by the host');
    is($lock->Test(), -1, 'Test fails the same way');
    is($lock->GetError(), 'test lock failed: Access is denied. ', 'with its prefix');
    my $closed = KALDOR::Install::FileLock::new(999);
    is($closed->Lock(), -1, 'a descriptor that is not open');
    is($closed->GetError(), 'set lock failed: The handle is invalid. ', 'its text');
};

subtest 'descriptors that are no descriptor' => sub {
    my ($code, $out) = run_script(<<'PL');
bootstrap KALDOR::Install::FileLock;
my @r = map { KALDOR::Install::FileLock::new($_, 1) } 2**32 + 3, 'abc', -2**31 - 1;
print 'results:', join(',', map { defined ? $_ : 'undef' } @r), "\n";
0;
PL
    is($code, 0, 'the script ran');
    is($out, "KALDOR::Install::FileLock::new(): undefined fd\n" x 3 . "results:undef,undef,undef\n",
       'an out-of-range or non-numeric descriptor is refused, not truncated');
};

subtest 'messages of the package' => sub {
    my ($code, $out) = run_script(<<'PL');
bootstrap KALDOR::Install::FileLock;
my @r;
push @r, KALDOR::Install::FileLock::new();
push @r, KALDOR::Install::FileLock::new(undef);
push @r, KALDOR::Install::FileLock::Lock(1, 2);
push @r, KALDOR::Install::FileLock::Lock('text');
push @r, KALDOR::Install::FileLock::Lock({});
push @r, KALDOR::Install::FileLock::Unlock(1, 2);
push @r, KALDOR::Install::FileLock::Unlock([]);
push @r, KALDOR::Install::FileLock::Unlock({obj => 0});
push @r, KALDOR::Install::FileLock::Test();
push @r, KALDOR::Install::FileLock::Test(1);
push @r, KALDOR::Install::FileLock::Test({});
push @r, KALDOR::Install::FileLock::GetError();
push @r, KALDOR::Install::FileLock::GetError(1);
push @r, KALDOR::Install::FileLock::GetError({});
push @r, KALDOR::Install::FileLock::DESTROY();
push @r, KALDOR::Install::FileLock::DESTROY(1);
push @r, KALDOR::Install::FileLock::DESTROY({});
print 'results:', join(',', map { defined ? $_ : 'undef' } @r), "\n";
0;
PL
    is($code, 0, 'the script ran');
    my $p = 'KALDOR::Install::FileLock';
    is($out, join('', map { "${p}::$_\n" }
        'new(): item error', 'new(): undefined fd', 'Lock(): item error',
        'Lock(): first arg is no FileLock object', 'Lock(): cannot get object',
        'Unlock(): first arg is no FileLock object', 'Unlock(): cannot get object',
        'Test(): item error', 'Test(): first arg is no FileLock object', 'Test(): cannot get object',
        'GetError(): first arg is no FileLock object', 'GetError(): cannot get object',
        'DESTROY(): item error', "DESTROY(): first arg is no $p object",
        'DESTROY(): cannot get object')
        . 'results:' . join(',', ('undef') x 17) . "\n", 'each message on standard output');
};

finish();
