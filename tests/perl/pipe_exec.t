# KALDOR::Install::PipeExec with real child processes: lines, exit codes,
# the error texts, callbacks while a read waits, standard input, and that
# many sessions leave no descriptor and no zombie behind.
use strict;
use warnings;
use Test::More;
use Time::HiRes qw(time);
use LmxTest qw(finish temp_dir write_file);
use LmxTest::Proc qw(child_command open_descriptors zombie_children);

bootstrap KALDOR::Install::PipeExec;

my $dir = temp_dir();
sub session { return KALDOR::Install::PipeExec->new }

# Every line of a session until the end of output, and the exit code.
sub run_all {
    my ($cmdline) = @_;
    my $p = session();
    defined $p->Open($cmdline) or return (undef, $p->GetError);
    my @lines;
    while (defined(my $line = $p->Readline)) { push @lines, $line }
    return ($p->Close, @lines);
}

subtest 'lines, their ends and the exit code' => sub {
    bootstrap KALDOR::Install::System::Win32::Console;
    my $redirected = KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles();
    my ($code, @lines) = run_all(child_command($dir, 'ab', 'print "a\nb\n"; exit 0;'));
    is(KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles(), $redirected,
       'the standard handles are restored after the start');
    is_deeply(\@lines, ["a\n", "b\n"], 'two lines with their newlines, then the end');
    is($code, 0, 'exit code 0');

    ($code, @lines) = run_all(child_command($dir, 'long', 'print "x" x 40000, "\n";'));
    is(scalar @lines, 1, 'a 40000-byte line is one line');
    is(length $lines[0], 40001, 'with every byte and its newline');
    is($lines[0], ('x' x 40000) . "\n", 'unchanged');

    ($code, @lines) = run_all(child_command($dir, 'crlf', 'binmode STDOUT; print "one\r\ntwo\r\n";'));
    is_deeply(\@lines, ["one\r\n", "two\r\n"], 'CR LF line ends are kept');

    ($code, @lines) = run_all(child_command($dir, 'tail', 'print "first\nno newline";'));
    is_deeply(\@lines, ["first\n", 'no newline'], 'text after the last newline is a last line');

    ($code, @lines) = run_all(child_command($dir, 'nul', 'binmode STDOUT; print "a\0b\n\0\n";'));
    is_deeply(\@lines, ["a\0b\n", "\0\n"], 'NUL bytes are data like any other');

    my $p = session();
    $p->Open(child_command($dir, 'three', 'exit 3;'));
    is($p->Close, 3, 'exit code 3');
    my $start = time;
    is($p->Close, 3, 'a second Close returns it again');
    cmp_ok(time - $start, '<', 0.5, 'without waiting');
};

subtest 'standard error shares the pipe with standard output, in order' => sub {
    my (undef, @lines) = run_all(child_command($dir, 'mixed', <<'PL'));
$| = 1; select(STDERR); $| = 1; select(STDOUT);
print "out 1\n"; print STDERR "err 1\n"; print "out 2\n"; print STDERR "err 2\n";
PL
    is_deeply(\@lines, ["out 1\n", "err 1\n", "out 2\n", "err 2\n"], 'interleaved as written');
};

subtest 'failures and their texts' => sub {
    my $p = session();
    is($p->Open(''), undef, 'Open("") fails');
    is($p->GetError, undef, 'and records nothing');

    bootstrap KALDOR::Install::System::Win32::Console;
    my $redirected = KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles();
    my $descriptors = open_descriptors();
    my $cmdline = 'no-such-program-lmx --flag';
    is($p->Open($cmdline), undef, 'a missing program fails');
    is(open_descriptors(), $descriptors, 'and leaves no pipe open');
    is(KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles(), $redirected,
       'nor the standard handles redirected');
    is($p->GetError,
       "$cmdline: cannot create process, The system cannot find the file specified.",
       'with the command line, the step and the system text');
    is($p->Open("$dir"), undef, 'a directory cannot be run');
    like($p->GetError, qr/: cannot create process, Access is denied\.$/, 'access is denied');

    my $q = session();
    is($q->OpenPty('ls'), undef, 'OpenPty fails');
    like($q->GetError, qr/^open_pty \(\) failed: pty not supported on this platform/, 'its text');

    my $r = session();
    is($r->Close, undef, 'Close before Open fails');
    like($r->GetError, qr/^close_pipe\(\) failed: invalid process handle/, 'its text');
    is($r->Timeout(-1), undef, 'Timeout(-1) fails');
    is($r->Timeout(5), 0, 'Timeout(5) is stored');
    is($r->WasaTimeout, 0, 'and nothing times out');

    my $w = session();
    $w->Open(child_command($dir, 'quiet', 'close STDIN; exit 0;'));
    is($w->Write(''), undef, 'Write("") writes nothing');
    is($w->Readline, undef, 'the end of output of a silent child');
    is($w->Write("too late\n"), undef, 'writing to a child that has ended fails');
    is($w->GetError, 'Cannot write to pipe', 'with its text, and the runtime lives on');
    is($w->Readline, undef, 'after an error Readline gives undef');
    is($w->Close, 0, 'the exit code is still collected');

    my $gone = session();
    $gone->DESTROY;
    is($gone->Readline, 0, 'a destroyed session reads 0');
    is($gone->Close, 0, 'and closes with 0');
};

subtest 'standard input' => sub {
    my $p = session();
    $p->Open(child_command($dir, 'count', 'my @l = <STDIN>; print scalar(@l), " lines: @l";'));
    is($p->Write("one\n"), 4, 'Write returns the count');
    is($p->Write("two\0ignored"), 3, 'bytes up to the first NUL');
    $p->Write("\n");
    is($p->CloseStdin, 0, 'CloseStdin');
    is(join('', $p->Readline, $p->Readline), "2 lines: one\n two\n",
       'the child read its input to the end');
    is($p->Close, 0, 'Close after CloseStdin');
    is($p->GetError, undef, 'records no error for the closed input');
    is($p->CloseStdin, undef, 'a second CloseStdin fails');
    like($p->GetError, qr/^close_stdin \(\) failed: invalid stdin handle/, 'with its text');
};

subtest 'callbacks while a read waits' => sub {
    my $p = session();
    my $calls = 0;
    is($p->SetCallback(sub { $calls++ }), 0, 'SetCallback');
    $p->Open(child_command($dir, 'slow', '$| = 1; print "now\n"; sleep 2; print "later\n";'));
    is($p->Readline, "now\n", 'the first line');
    $calls = 0;
    is($p->Readline, "later\n", 'the line after two seconds of silence');
    ok($calls == 4 || $calls == 5, "the callback ran 4 or 5 times ($calls)");
    is($p->Close, 0, 'exit code');

    my $q = session();
    $q->SetCallback('main::count_call');
    our $named = 0;
    sub count_call { $named++ }
    $q->Open(child_command($dir, 'two', 'print "a\nb\n";'));
    $q->Readline;
    is($named, 1, 'a sub name is called; one call for the read');
    $q->Readline;
    is($named, 1, 'a line already buffered needs no read and no callback');
    $q->Close;

    my $r = session();
    $r->SetCallback(sub { die "stop reading\n" });
    $r->Open(child_command($dir, 'late', 'sleep 1; print "kept\n";'));
    is(eval { $r->Readline; 1 }, undef, 'a callback that dies ends the read');
    is($@, "stop reading\n", 'with its error');
    $r->SetCallback(sub { });
    is($r->Readline, "kept\n", 'nothing was lost from the session');
    is($r->Close, 0, 'and it closes normally');

    my $long = session();
    my $call = 0;
    $long->SetCallback(sub { die "second call\n" if ++$call == 2 });
    $long->Open(child_command($dir, 'longer', '$| = 1; print "y" x 20000; sleep 1; print "z\n";'));
    is(eval { $long->Readline; 1 }, undef, 'a callback dies in the middle of a long line');
    $long->SetCallback(sub { });
    is($long->Readline, ('y' x 20000) . "z\n", 'the line comes back whole afterwards');
    $long->Close;

    my $s = session();
    my $t = $s;
    $s->SetCallback(sub { undef $t });
    $s->Open(child_command($dir, 'one', 'print "x\n";'));
    undef $s;
    is($t->Readline, "x\n", 'a callback may drop the last reference to its session');
};

subtest 'an undefined callback clears it' => sub {
    my $p = session();
    my $calls = 0;
    $p->SetCallback(sub { $calls++ });
    is($p->SetCallback(undef), 0, 'SetCallback(undef)');
    $p->Open(child_command($dir, 'pair', 'print "a\nb\n";'));
    is_deeply([$p->Readline, $p->Readline, $p->Readline], ["a\n", "b\n", undef], 'reads go on');
    is($calls, 0, 'without the old callback');
    is($p->Close, 0, 'exit code');
};

subtest 'the child gets exactly its three standard handles' => sub {
    require Fcntl;
    open(my $open, '<', write_file("$dir/held", "x")) or die;
    fcntl($open, Fcntl::F_SETFD(), 0) or die "fcntl: $!";    # inheritable on this host
    my (undef, @fds) = run_all(child_command($dir, 'fds', <<'PL'));
print "$_\n" for grep { -e "/proc/self/fd/$_" } 0 .. 1023;
PL
    is_deeply(\@fds, ["0\n", "1\n", "2\n"], 'descriptors 0, 1 and 2 only');
    close $open;

    my $cat = session();
    $cat->Open('cat');
    my $sleeper = session();
    $sleeper->Open(child_command($dir, 'sleeper', 'sleep 3;'));
    my $start = time;
    $cat->CloseStdin;
    is($cat->Readline, undef, 'a child sees the end of its input');
    cmp_ok(time - $start, '<', 1.5, 'at once, though a later child still runs');
    is($cat->Close, 0, 'cat ends with 0');
    is($sleeper->Close, 0, 'the later child too');
};

subtest 'environment and arguments reach the child' => sub {
    local $ENV{LMX_PIPE_TEST} = 'from the runtime';
    my (undef, @lines) = run_all(child_command($dir, 'env', 'print "$ENV{LMX_PIPE_TEST}|@ARGV\n";')
                                 . ' "two words" a\\"b');
    is_deeply(\@lines, ["from the runtime|two words a\"b\n"], 'by the Windows quoting rules');
};

subtest 'many sessions in a row and at once' => sub {
    my $before = open_descriptors();
    my $failures = 0;
    for my $i (1 .. 1000) {
        my $p = session();
        $failures++ unless defined $p->Open('true');
        $p->Readline;
        $failures++ unless defined $p->Close && $p->Close == 0;
    }
    is($failures, 0, 'a thousand sessions of true');
    is(open_descriptors(), $before, 'leave no descriptor open');
    is_deeply([zombie_children()], [], 'and no zombie');

    my $echo = child_command($dir, 'echo', 'print "$ARGV[0]\n"; exit $ARGV[0] % 7;');
    my @sessions = map { my $p = session(); $p->Open("$echo $_"); [$_, $p] } 1 .. 20;
    my $right = grep { $_->[1]->Readline eq "$_->[0]\n" } reverse @sessions;
    is($right, 20, 'twenty open at once each read their own child');
    my $codes = grep { $_->[1]->Close == $_->[0] % 7 } @sessions;
    is($codes, 20, 'and collect their own exit codes');

    my $abandoned = session();
    $abandoned->Open(child_command($dir, 'waits', <<'PL', "$dir/waits.pid"));
open(my $f, '>', $ARGV[0]) or die; print $f $$; close $f;
my @all = <STDIN>;
PL
    my $pid;
    for (1 .. 50) { last if $pid = LmxTest::read_file("$dir/waits.pid"); select(undef, undef, undef, 0.1) }
    undef $abandoned;    # destroyed without Close: its input closes, the child ends
    for (1 .. 50) {      # and the next start collects it
        select(undef, undef, undef, 0.1);
        my $p = session();
        $p->Open('true');
        $p->Close;
        last unless -e "/proc/$pid";
    }
    ok($pid && !-e "/proc/$pid", 'a child whose session was dropped ends and is collected');
    is(open_descriptors(), $before, 'and its pipes are closed');
};

# The signals that a thread of this process blocks, by its task id.
sub blocked_signals {
    my %blocked;
    for my $status (glob "/proc/$$/task/*/status") {
        open(my $in, '<', $status) or next;
        my ($mask) = join('', <$in>) =~ /^SigBlk:\s*([0-9a-f]+)/m or next;
        my ($task) = $status =~ m{task/(\d+)/};
        $blocked{$task} = hex $mask;
    }
    return \%blocked;
}

# The parent's id in a /proc stat record, or 0.
sub parent_of {
    my ($stat) = @_;
    open(my $in, '<', $stat) or return 0;
    my $line = <$in>;
    return defined $line && $line =~ /^\d+ \(.*\) \S (\d+)/s ? $1 : 0;
}

subtest 'sessions dropped while their children run leave no zombie' => sub {
    my $before = open_descriptors();
    my $ended = 0;
    local $SIG{CHLD} = sub { $ended++ };    # the installer's own handler
    {
        my @sessions = map { my $p = session(); $p->Open('sleep 2'); $p } 1 .. 300;
        is(scalar(grep { !defined $_->GetError } @sessions), 300, '300 children started');
    }    # all dropped here, their children still running
    my $threads = blocked_signals();
    my @layer = grep { $_ != $$ } keys %$threads;
    ok(@layer > 0, 'a thread of the layer waits for them');
    my $wanted = 0;
    $wanted |= 1 << ($_ - 1) for 1, 2, 10, 14, 15, 17;    # HUP INT USR1 ALRM TERM CHLD
    is(scalar(grep { ($threads->{$_} & $wanted) != $wanted } @layer), 0,
       'and takes no signals');
    my $left;
    for (1 .. 300) {    # up to 30 s: starting 300 children may take a while on a busy machine
        select(undef, undef, undef, 0.1);
        $left = grep { parent_of($_) == $$ } glob '/proc/[0-9]*/stat';
        last if $left == 0;
    }
    is($left, 0, 'every child is collected without another start');
    is_deeply([zombie_children()], [], 'no zombie stays');
    ok($ended > 0, "the installer's SIGCHLD handler still runs");
    is(open_descriptors(), $before, 'and no descriptor stays open');
};

subtest 'SplitArgv and PrepareArgv' => sub {
    my @split = KALDOR::Install::PipeExec::SplitArgv('prog "a b" c\\"d  e', 'first');
    is_deeply(\@split, ['first', 'prog', 'a b', 'c"d', 'e'], 'quotes, escapes, white space');
    is_deeply([KALDOR::Install::PipeExec::SplitArgv('', 'x')], ['x'], 'an empty line adds nothing');
    is_deeply([KALDOR::Install::PipeExec::SplitArgv('  last  ')], ['last'], 'surrounding blanks');
    is_deeply([KALDOR::Install::PipeExec::SplitArgv('"open')], ['"open'], 'an open quote is text');

    my $script = write_file("$dir/bin/tool", "#!/bin/sh\n");
    chmod 0755, $script;
    write_file("$dir/bin/plain", "data\n");
    local $ENV{PATH} = "/nonexistent:$dir/bin";
    is_deeply([KALDOR::Install::PipeExec::PrepareArgv('tool -x')], ['', "$dir/bin/tool", '-x'],
              'found in PATH');
    is_deeply([KALDOR::Install::PipeExec::PrepareArgv('plain')], ['plain: No such command'],
              'a file that cannot be run is no command');
    is_deeply([KALDOR::Install::PipeExec::PrepareArgv("$dir/bin/tool y")],
              ['', "$dir/bin/tool", 'y'], 'a path is taken as it is');
    is_deeply([KALDOR::Install::PipeExec::PrepareArgv("$dir/bin/missing")],
              ["$dir/bin/missing: No such file or directory"], 'a missing path');
    is_deeply([KALDOR::Install::PipeExec::PrepareArgv("$dir/bin/plain")],
              ["$dir/bin/plain: Permission denied"], 'a path that cannot be run');
    require Cwd;
    my $cwd = Cwd::getcwd();
    chdir "$dir/bin" or die "chdir: $!\n";
    local $ENV{PATH} = '/nonexistent::';
    is_deeply([KALDOR::Install::PipeExec::PrepareArgv('tool')], ['', './tool'],
              'an empty PATH entry is the working directory');
    chdir $cwd or die "chdir: $!\n";
};

subtest 'natives refuse wrong arguments' => sub {
    is(KALDOR::Install::PipeExec::ReadlineXS(), undef, 'no record');
    is(KALDOR::Install::PipeExec::ReadlineXS(0), undef, 'record 0');
    is(KALDOR::Install::PipeExec::CloseXS(12345678), undef, 'an address that names no session');
    is(KALDOR::Install::PipeExec::GetErrorXS(1, 2), undef, 'too many arguments');
    KALDOR::Install::PipeExec::newXS(my $sess);
    my $copy = $sess;
    is(KALDOR::Install::PipeExec::CloseStdinXS($copy), undef, 'a copy of the address names nothing');
    is(KALDOR::Install::PipeExec::DESTROY_XS($sess), 1, 'DESTROY_XS');
    is(KALDOR::Install::PipeExec::DESTROY_XS($sess), undef, 'a second time refuses the freed record');
};

LmxTest::finish();
