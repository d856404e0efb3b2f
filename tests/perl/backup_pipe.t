# KALDOR::Install::BackupPipe with real readers: cat of the FIFO that
# stands for the pipe, a second process on the same name, and readers that
# go away while data still comes.
use strict;
use warnings;
use Test::More;
use Time::HiRes qw(time sleep);
use Digest::MD5 qw(md5_hex);
use POSIX qw(mkfifo);
use LmxTest qw(finish temp_dir read_file write_file);
use LmxTest::Untgz qw(run_script);

bootstrap KALDOR::Install::BackupPipe;

$ENV{LMX_PIPE_DIR} = temp_dir();
my $out = temp_dir();
my $serial = 0;

sub pipe_name { return '\\\\.\\pipe\\backup' . ++$serial }
sub fifo_of { my ($name) = @_; $name =~ s/.*\\//; return "$ENV{LMX_PIPE_DIR}/$name" }
sub new_pipe { return KALDOR::Install::BackupPipe->new($_[0], 'w') }

# A reader process: `cat FIFO > file`; returns its pid.
sub start_reader {
    my ($fifo, $file) = @_;
    my $pid = fork();
    die "fork: $!\n" unless defined $pid;
    if ($pid == 0) {
        open(STDOUT, '>', $file) or POSIX::_exit(126);
        exec('cat', $fifo) or POSIX::_exit(127);
    }
    return $pid;
}

# Waits until the object's connect completes (up to five seconds).
sub connected { my ($p) = @_; return $p->Select(5) }

# A new pipe, opened, with a reader `cat FIFO > $file` connected to it;
# returns the object and the reader's pid.
sub serving {
    my ($file) = @_;
    my $name = pipe_name();
    my $p = new_pipe($name);
    is($p->Open, 1, 'Open');
    my $reader = start_reader(fifo_of($name), $file);
    is(connected($p), 1, 'the reader connects');
    return ($p, $reader, $name);
}

subtest 'arguments' => sub {
    is(KALDOR::Install::BackupPipe->new(pipe_name(), 'r'), undef, 'mode "r"');
    is(KALDOR::Install::BackupPipe->new(pipe_name(), 'wb'), undef, 'mode "wb"');
    is(KALDOR::Install::BackupPipe->new('', 'w'), undef, 'empty pipe name');
    is(KALDOR::Install::BackupPipe->new(pipe_name()), undef, 'no mode');
    my $p = new_pipe(pipe_name());
    is(ref $p, 'KALDOR::Install::BackupPipe', 'object');
    is($p->Select(0), undef, 'Select before Open');
    is($p->Write('x', 1), -1, 'Write before Open');
    is(KALDOR::Install::BackupPipe::Open(bless({obj => 1}, 'KALDOR::Install::BackupPipe')), undef,
       'a forged object');
    is($p->Select(1, 2), undef, 'Select with three arguments');
    is(new_pipe('\\\\.\\pipe\\a/b')->Open, 0, 'a name with a separator in it cannot be opened');
    is(new_pipe("$out/not-a-pipe-name")->Open, 0, 'neither can a file name');
};

subtest 'Select waits for the reader' => sub {
    my $name = pipe_name();
    my $p = new_pipe($name);
    is($p->Open, 1, 'Open');
    ok(-p fifo_of($name), 'the pipe is a FIFO in the pipe directory');
    my $start = time;
    is($p->Select(2), 0, 'Select(2) without a reader');
    my $waited = time - $start;
    ok($waited > 1.9 && $waited < 4, sprintf('returns after about 2 s (%.2f s)', $waited));
    is($p->Write('early', 5), -1, 'Write before the reader came');
    my $reader = start_reader(fifo_of($name), "$out/select");
    $start = time;
    is(connected($p), 1, 'Select once the reader opened the FIFO');
    cmp_ok(time - $start, '<', 2, 'at once');
    $start = time;
    is($p->Select(2), 1, 'a later Select');
    cmp_ok(time - $start, '<', 0.5, 'returns at once');
    is($p->Write("abcdef", 3), 3, 'Write of the first 3 bytes');
    is($p->Write("gh\n", 100), 3, 'Write with a length beyond the string writes the string');
    is($p->Write("x", -1), -1, 'a negative length');
    $p->Close;
    is($p->Write('late', 4), -1, 'Write after Close');
    is($p->Select(0), undef, 'Select after Close');
    waitpid($reader, 0);
    is(read_file("$out/select"), "abcgh\n", 'the reader got what was written');
    ok(!-e fifo_of($name), 'Close removed the FIFO');
};

subtest '64 MiB arrive intact' => sub {
    my ($p, $reader) = serving("$out/big");
    open(my $random, '<:raw', '/dev/urandom') or die;
    read($random, my $chunk, 1 << 20) == 1 << 20 or die;
    my $md5 = Digest::MD5->new;
    my $failed = 0;
    for my $i (1 .. 64) {
        substr($chunk, 0, 4) = pack('N', $i);
        $md5->add($chunk);
        $failed++ if $p->Write($chunk, length $chunk) != length $chunk;
    }
    is($failed, 0, 'every Write wrote all its bytes');
    undef $p;    # DESTROY closes the pipe, so the reader sees the end
    waitpid($reader, 0);
    is(-s "$out/big", 64 << 20, 'the reader got 64 MiB');
    my ($sum) = split ' ', `md5sum '$out/big'`;
    is($sum, $md5->hexdigest, 'with the same MD5 sum');
};

subtest 'a second process on a served name takes the client route' => sub {
    my ($p, $reader, $name) = serving("$out/two");
    is($p->Write("server\n", 7), 7, 'the server writes');
    (my $quoted = $name) =~ s/\\/\\\\/g;
    my ($code, $stdout) = run_script(<<"PL", env => {LMX_PIPE_DIR => $ENV{LMX_PIPE_DIR}});
use Time::HiRes qw(time);
bootstrap KALDOR::Install::BackupPipe;
my \$p = KALDOR::Install::BackupPipe->new("$quoted", 'w');
my \$opened = \$p->Open;
my \$start = time;
my \$ready = \$p->Select(5);
printf "%s %s %.1f %s\\n", \$opened, \$ready, time - \$start, \$p->Write("client\\n", 7);
0;
PL
    is($code, 0, 'the second process ran');
    like($stdout, qr/^1 1 0\.\d 7$/, 'Open 1 (client), Select 1 at once, Write 7');
    is($p->Write("server again\n", 13), 13, 'the server still writes');
    $p->Close;
    waitpid($reader, 0);
    is(read_file("$out/two"), "server\nclient\nserver again\n", 'the reader got both writers');

    my $lone = pipe_name();
    my $server = new_pipe($lone);
    $server->Open;
    my ($lone_quoted) = map { (my $q = $_) =~ s/\\/\\\\/g; $q } $lone;
    ($code, $stdout) = run_script(<<"PL", env => {LMX_PIPE_DIR => $ENV{LMX_PIPE_DIR}});
bootstrap KALDOR::Install::BackupPipe;
print KALDOR::Install::BackupPipe->new("$lone_quoted", 'w')->Open, "\\n";
0;
PL
    is($stdout, "0\n", 'without a reader the client route fails');
};

subtest 'a FIFO left by a process that died is taken over' => sub {
    my $name = pipe_name();
    (my $quoted = $name) =~ s/\\/\\\\/g;
    my $script = write_file(temp_dir() . '/serve.pl', <<"PL");
bootstrap KALDOR::Install::BackupPipe;
my \$p = KALDOR::Install::BackupPipe->new("$quoted", 'w');
\$| = 1;
print \$p->Open, "\\n";
sleep 60;
0;
PL
    my $pid = fork();
    die "fork: $!\n" unless defined $pid;
    if ($pid == 0) {
        open(STDOUT, '>', "$out/served") or POSIX::_exit(126);
        exec(LmxTest::kit() . '/ryninst', '--script', $script, '--inc', $ENV{LMX_TEST_INC});
        POSIX::_exit(127);
    }
    my $deadline = time + 10;
    sleep 0.05 until read_file("$out/served") || time > $deadline;
    is(read_file("$out/served"), "1\n", 'the other process serves the pipe');
    my $busy = new_pipe($name);
    is($busy->Open, 0, 'while it lives, a second server without a reader gets nowhere');
    kill 'KILL', $pid;
    waitpid($pid, 0);
    ok(-p fifo_of($name), 'its FIFO is left behind');
    my $p = new_pipe($name);
    is($p->Open, 1, 'Open');
    is($p->Select(0), 0, 'as the server: the connect is pending');
    my $reader = start_reader(fifo_of($name), "$out/taken");
    is(connected($p), 1, 'the reader connects');
    is($p->Write("taken over\n", 11), 11, 'Write');
    $p->Close;
    waitpid($reader, 0);
    is(read_file("$out/taken"), "taken over\n", 'the reader got it');
};

subtest 'the reader dying mid-stream' => sub {
    my $name = pipe_name();
    my $p = new_pipe($name);
    is($p->Open, 1, 'Open');
    my $reader = fork();
    die "fork: $!\n" unless defined $reader;
    if ($reader == 0) {
        open(STDOUT, '>', '/dev/null');
        exec('head', '-c', '100000', fifo_of($name)) or POSIX::_exit(127);
    }
    is(connected($p), 1, 'connected');
    my $chunk = 'z' x (1 << 16);
    my ($writes, $result) = (0, 0);
    while ($writes < 1000 && ($result = $p->Write($chunk, length $chunk)) > 0) { $writes++ }
    is($result, -1, "Write gives -1 once the reader is gone (after $writes writes)");
    is($p->Write('more', 4), -1, 'and so does the next one');
    waitpid($reader, 0);
    pass('the process lives on');
};

subtest 'a signal while the connect is pending reaches the interpreter' => sub {
    my $p = new_pipe(pipe_name());
    is($p->Open, 1, 'Open');
    my $got = 0;
    local $SIG{USR1} = sub { $got++ };
    # With the interpreter's thread blocking it, the signal can only go to
    # another thread of the process, such as the one that waits for the
    # reader; it must stay pending for the interpreter instead.
    my $previous = POSIX::SigSet->new;
    POSIX::sigprocmask(POSIX::SIG_BLOCK(), POSIX::SigSet->new(POSIX::SIGUSR1()), $previous);
    kill 'USR1', $$;
    sleep 0.2;
    is($got, 0, 'not handled while blocked');
    POSIX::sigprocmask(POSIX::SIG_SETMASK(), $previous);
    is($got, 1, 'handled by the interpreter once unblocked');
    is($p->Select(0), 0, 'the connect is still pending');
};

subtest 'an object that goes while its connect is pending' => sub {
    my $name = pipe_name();
    my $start = time;
    {
        my $p = new_pipe($name);
        $p->Open;
    }
    cmp_ok(time - $start, '<', 2, 'DESTROY does not wait for a reader');
    ok(!-e fifo_of($name), 'the FIFO is gone');
    my $p = new_pipe($name);
    is($p->Open, 1, 'the name can be served again');
    is($p->Open, 1, 'a second Open replaces the pipe');
    is($p->Select(0), 0, 'and waits for a reader again');
};

finish();
