# The Unix-only modules as they answer on this platform: fixed answers, the
# usage exceptions, and sprintmode for every permission value.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish);

bootstrap KALDOR::Install::System::Unix;
bootstrap KALDOR::Install::System::Unix::Dir;
bootstrap KALDOR::Install::SetUser;

sub unix { my $name = shift; no strict 'refs'; return &{"KALDOR::Install::System::Unix::$name"}(@_) }

subtest 'fixed answers' => sub {
    is(unix($_), undef, $_) for qw(RLIMIT_NOFILE MAP_FIXED MAP_PRIVATE MAP_SHARED PROT_NONE
                                   PROT_EXEC PROT_WRITE PROT_READ sysinfo uname getcwd);
    'path rw 12' =~ /^(\w+) (\w+) (\d+)$/ or die;
    my @cases = (
        [-1, setrlimit => 7, 1024, 4096], [undef, setrlimit => 7, '1024', 4096],
        [-1, getrlimit => 7], [undef, getrlimit => 'nofile'], [undef, getrlimit => $3],
        [undef, munmap => 'buf', 10], [undef, mmap => 'buf', 10, 1, 2, \*STDIN, 0],
        [-1, uaccess => '/tmp', 'rw'], [-1, uaccess => $1, $2], [undef, uaccess => '', 'rw'],
        [undef, uaccess => '/tmp'], [undef, uaccess => '/tmp', 4],
        [0, lchown => 0, 0, '/tmp/x'], [undef, lchown => 0, 0],
        [undef, ugetids => 'root'], [undef, getspnam => 'root'],
        [undef, 'sprintmode'], [undef, sprintmode => 1, 2]);
    for (@cases) {
        my ($expected, $name, @args) = @$_;
        is(unix($name, @args), $expected, "$name(" . join(',', map { $_ // 'undef' } @args) . ')');
    }
    is_deeply([KALDOR::Install::System::Unix::Dir::getancestors('/a/b')], [], 'getancestors of a path');
    is(KALDOR::Install::System::Unix::Dir::getancestors(@$_), undef, 'getancestors: undef')
      for [''], ['a', 'b'];
    is_deeply([KALDOR::Install::SetUser::SetUser('x')], [-1, 'not implemented on WIN32'], 'SetUser (list)');
    is(scalar KALDOR::Install::SetUser::SetUser('x'), -1, 'SetUser (scalar)');
};

subtest 'usage exceptions' => sub {
    my @cases = ([setrlimit => [1, 2], 'setrlimit ($resource,$soft,$hard)'],
                 [getrlimit => [], 'getrlimit ($resource)'], [getrlimit => [1, 2], 'getrlimit ($resource)'],
                 [munmap => [1], 'munmap ($buf,$len)'],
                 [mmap => [1 .. 5], 'mmap ($buf,$len,$prot,$flags,FH,$off)']);
    for (@cases) {
        my ($name, $args, $usage) = @$_;
        eval { unix($name, @$args) };
        is($@, "usage: $usage\n", "$name with " . @$args . ' arguments');
    }
};

subtest 'sprintmode' => sub {
    my %examples = (0755 => 'rwxr-xr-x', 04755 => 'rwsr-xr-x', 02644 => 'rw-r-Sr--',
                    01777 => 'rwxrwxrwt', 0 => '---------', 0107777 => 'rwsrwsrwt');
    is(unix('sprintmode', $_), $examples{$_}, sprintf 'mode %o', $_) for sort keys %examples;
    # Every permission value (with and without a file type) against Python's
    # stat.filemode, the text that ls shows after the type character.
    open(my $python, '-|', 'python3', '-c',
         'import stat; [print(stat.filemode(stat.S_IFREG | m)[1:]) for m in range(4096)]')
      or die "python3: $!\n";
    chomp(my @expected = <$python>);
    my @wrong = grep {
        unix('sprintmode', $_) ne ($expected[$_] // '') || unix('sprintmode', $_ | 040000) ne ($expected[$_] // '')
    } 0 .. 07777;
    is(scalar @expected, 4096, 'the oracle names every value');
    is("@wrong", '', 'sprintmode agrees for all 4096 permission values');
};

LmxTest::finish();
