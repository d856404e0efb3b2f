# The Unix-only modules as they answer on this platform: fixed answers, the
# usage exceptions, and sprintmode against stat(1) for every permission.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish);

bootstrap KALDOR::Install::System::Unix;
bootstrap KALDOR::Install::System::Unix::Dir;
bootstrap KALDOR::Install::SetUser;

my $U = 'KALDOR::Install::System::Unix';
sub unix { my $name = shift; no strict 'refs'; return &{"${U}::$name"}(@_) }

sub dies_with {
    my ($code, $message, $what) = @_;
    eval { $code->(); 1 } and return fail("$what: no exception");
    is($@, $message, $what);
}

subtest 'constants and services answer undef' => sub {
    for my $name (qw(RLIMIT_NOFILE MAP_FIXED MAP_PRIVATE MAP_SHARED PROT_NONE PROT_EXEC
                     PROT_WRITE PROT_READ sysinfo uname getcwd)) {
        is(unix($name), undef, $name);
    }
    is(unix('ugetids', 'root'), undef, 'ugetids');
    is(unix('getspnam', 'root'), undef, 'getspnam');
};

subtest 'argument checks and their answers' => sub {
    is(unix('setrlimit', 7, 1024, 4096), -1, 'setrlimit with three integers');
    is(unix('setrlimit', 7, '1024', 4096), undef, 'setrlimit with a string');
    is(unix('getrlimit', 7), -1, 'getrlimit with an integer');
    is(unix('getrlimit', 'nofile'), undef, 'getrlimit with a string');
    is(unix('getrlimit', unix('RLIMIT_NOFILE')), undef, 'getrlimit of the undefined constant');
    is(unix('munmap', 'buf', 10), undef, 'munmap');
    is(unix('mmap', 'buf', 10, 1, 2, \*STDIN, 0), undef, 'mmap');
    is(unix('uaccess', '/tmp', 'rw'), -1, 'uaccess with two strings');
    is(unix('uaccess', '', 'rw'), undef, 'uaccess with an empty path');
    is(unix('uaccess', '/tmp'), undef, 'uaccess with one argument');
    is(unix('uaccess', '/tmp', 4), undef, 'uaccess with a number for the mode');
    'path rw 12' =~ /^(\w+) (\w+) (\d+)$/ or die;
    is(unix('uaccess', $1, $2), -1, 'uaccess with magical strings (regex captures)');
    is(unix('getrlimit', $3), undef, 'a capture is a string, not an integer');
    is(unix('lchown', 0, 0, '/tmp/x'), 0, 'lchown with three arguments');
    is(unix('lchown', 0, 0), undef, 'lchown with two');
    is(unix('sprintmode'), undef, 'sprintmode without argument');
    is(unix('sprintmode', 1, 2), undef, 'sprintmode with two');
};

subtest 'usage exceptions' => sub {
    dies_with(sub { unix('setrlimit', 1, 2) }, "usage: setrlimit (\$resource,\$soft,\$hard)\n",
              'setrlimit');
    dies_with(sub { unix('getrlimit') }, "usage: getrlimit (\$resource)\n", 'getrlimit');
    dies_with(sub { unix('getrlimit', 1, 2) }, "usage: getrlimit (\$resource)\n", 'getrlimit with two');
    dies_with(sub { unix('munmap', 1) }, "usage: munmap (\$buf,\$len)\n", 'munmap');
    dies_with(sub { unix('mmap', 1, 2, 3, 4, 5) },
              "usage: mmap (\$buf,\$len,\$prot,\$flags,FH,\$off)\n", 'mmap with five arguments');
};

subtest 'getancestors and SetUser' => sub {
    my @list = KALDOR::Install::System::Unix::Dir::getancestors('/a/b');
    is_deeply(\@list, [], 'the empty list for a path');
    is(KALDOR::Install::System::Unix::Dir::getancestors(''), undef, 'undef for an empty path');
    is(KALDOR::Install::System::Unix::Dir::getancestors('a', 'b'), undef, 'undef for two arguments');
    my @answer = KALDOR::Install::SetUser::SetUser('nobody');
    is_deeply(\@answer, [-1, 'not implemented on WIN32'], 'SetUser in list context');
    my $answer = KALDOR::Install::SetUser::SetUser('nobody');
    is($answer, -1, 'SetUser in scalar context');
};

subtest 'sprintmode' => sub {
    my %examples = (0755 => 'rwxr-xr-x', 04755 => 'rwsr-xr-x', 02644 => 'rw-r-Sr--',
                    01777 => 'rwxrwxrwt', 0 => '---------', 0107777 => 'rwsrwsrwt');
    is(unix('sprintmode', $_), $examples{$_}, sprintf('mode %o', $_)) for sort keys %examples;

    # Every permission value, against Python's stat.filemode (the text
    # that ls shows, with the file type in front).
    open(my $python, '-|', 'python3', '-c',
         'import stat; [print(stat.filemode(stat.S_IFREG | m)[1:]) for m in range(4096)]')
      or die "python3: $!\n";
    chomp(my @expected = <$python>);
    close $python;
    is(scalar @expected, 4096, 'the oracle names every mode');
    my $differences = 0;
    for my $mode (0 .. 07777) {
        my $ours = unix('sprintmode', $mode);
        next if defined $expected[$mode] && $ours eq $expected[$mode];
        $differences++;
        diag(sprintf '%04o: %s, expected %s', $mode, $ours, $expected[$mode] // 'nothing');
    }
    is($differences, 0, 'sprintmode agrees for all 4096 permission values');
    my $rule = 0;
    for my $mode (0 .. 07777) {
        my $text = unix('sprintmode', $mode | 0100000);
        $rule++ unless length $text == 9 && $text eq unix('sprintmode', $mode);
    }
    is($rule, 0, 'file-type bits are ignored, nine characters for all 4096 values');
};

LmxTest::finish();
