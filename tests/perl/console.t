# The console module and the console launchers' decision: redirected
# standard handles, a console of the process's own (the terminal), and
# errors shown without a console.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit write_file make_tree);

my $kit = kit();
my $pty = "$ENV{LMX_TEST_SOURCE}/tests/perl/lib/run_in_pty.py";
bootstrap KALDOR::Install::System::Win32::Console;

# A main package that reports the console state, on standard output and
# through the C runtime of a child process sharing the streams.
my $pkgs = make_tree(temp_dir(), 'Con/Main.pm' => <<'PM');
package Con::Main;
bootstrap KALDOR::Install::System::Win32::Console;
sub main {
    my $c = \%KALDOR::Install::Config;
    print "silent=", ($c->{SilentMode} || 0), " own=", ($c->{HasOwnConsole} || 0), "\n";
    print STDERR "to stderr\n";
    print "redirected=", KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles(), "\n";
    print "attach=", KALDOR::Install::System::Win32::Console::AttachParentConsole(), "\n";
    return 0;
}
sub tty {
    print "open=", KALDOR::Install::System::Win32::Console::OpenConsole(), "\n";
    return 0;
}
1;
PM
system('tar', '-C', $pkgs, '-czf', "$pkgs/con.tgz", 'Con') == 0 or die;
my @con = ('--inc', "$pkgs/con.tgz", '--main', 'Con::Main::main');

sub on_pty {
    my (@args) = @_;
    my $out = `python3 $pty @args 2>&1`;
    return ($? >> 8, $out);
}

subtest 'redirected standard handles' => sub {
    my ($code, $out) = run_kit("$kit/ryninst", \@con);
    like($out, qr/^silent=1 own=0$/m, 'ryninst with redirected output is silent and opens no console');
    like($out, qr/^redirected=1$/m, 'HasRedirectedStdHandles says so');
    like($out, qr/^attach=0$/m, 'nothing to attach to');
    ($code, $out) = run_kit("$kit/rynsetup", \@con);
    like($out, qr/^silent=0 own=0$/m, 'rynsetup never decides about a console');
    ($code, $out) = run_kit("$kit/rynuninst", \@con);
    like($out, qr/^silent=1 own=0$/m, 'rynuninst is a console launcher too');
    is(KALDOR::Install::System::Win32::Console::HasRedirectedStdHandles('ignored'), 1,
       'arguments are ignored');
};

SKIP: {
    skip 'python3 with a pseudo-terminal is not available', 1
      unless system("python3 $pty /bin/true >/dev/null 2>&1") == 0;

    subtest 'on a terminal' => sub {
        my ($code, $out) = on_pty("$kit/ryninst", @con);
        is($code, 0, 'runs');
        like($out, qr/^silent=0 own=0$/m, 'output on the terminal: not silent, no console of its own');
        like($out, qr/^redirected=0$/m, 'the standard handles are console handles');
        ($code, $out) = on_pty("$kit/ryninst", @con, '--silent');
        like($out, qr/^silent=1 own=0$/m, '--silent');
        ($code, $out) = on_pty("$kit/ryninst", '--inc', "$pkgs/con.tgz", '--main', 'Con::Main::tty');
        like($out, qr/^open=0$/m, 'OpenConsole fails when the terminal is already there');
        ($code, $out) = on_pty('--stdin', '/dev/null', "$kit/ryninst", @con);
        like($out, qr/^silent=1 own=0$/m, 'redirected input alone makes it silent');
    };

    subtest 'without standard handles' => sub {
        my ($code, $out) = on_pty('--close-std', "$kit/ryninst", @con);
        is($code, 0, 'runs');
        like($out, qr/^silent=0 own=1$/m, 'a console of its own: output reaches the terminal');
        like($out, qr/^to stderr$/m, 'standard error too');
        like($out, qr/^redirected=0$/m, 'the console handles are not redirected ones');
        ($code, $out) = on_pty('--close-std', "$kit/rynsetup", @con);
        like($out, qr/^attach=1$/m, "AttachParentConsole attaches to the parent's terminal "
                                   . 'and binds the streams to it');
        unlike($out, qr/silent=/, 'before, output to the missing handles went nowhere');
    };
}

subtest 'errors shown without a console' => sub {
    my $dir = temp_dir();
    write_file("$dir/box.pl", <<'PL');
bootstrap KALDOR::Install::System::Win32::Console;
my @r = (KALDOR::Install::System::Win32::Console::SetErrorWithoutConsole("the text"),
         KALDOR::Install::System::Win32::Console::SetErrorWithoutConsole("more\n", "Caption"),
         KALDOR::Install::System::Win32::Console::SetErrorWithoutConsole(),
         KALDOR::Install::System::Win32::Console::SetErrorWithoutConsole(1, 2, 3));
print join(',', map { defined $_ ? $_ : 'undef' } @r), "\n";
0;
PL
    my ($code, $out, $err) = run_kit("$kit/ryninst", ['--script', "$dir/box.pl"], setsid => 1);
    is($out, "1,1,undef,undef\n", 'OK answers; wrong argument counts give undef');
    is($err, "Error\nthe text\nCaption\nmore\n", 'caption (Error by default) and text');
};

finish();
