# The bootstrap script: runtime options, the include list, scripts, the main
# sub, and how fatal errors reach the user.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit write_file make_tree copy_kit);

my $kit = kit();

# An archive with a main package that prints what it got, and one whose
# main sub does what it is told.
my $pkgs = make_tree(temp_dir(), 'Probe/Main.pm' => <<'PM', 'Probe/Other.pm' => <<'PM2');
package Probe::Main;
sub main {
    my $c = \%KALDOR::Install::Config;
    print "args=", join('|', @_), "\n";
    print "inc=", join('|', @INC), "\n";
    print "debug=", ($KALDOR::Install::Start::DEBUG || 0), ",",
          ($KALDOR::Install::Exporter::DEBUG || 0), "\n";
    print "$_=", (defined $c->{$_} ? $c->{$_} : '-'), "\n"
      for qw(ProgramName UPUser TmpLDPath SilentMode HasOwnConsole NO_SPLASH);
    return 0;
}
1;
PM
package Probe::Other;
sub main { my $what = shift; return eval $what; }
sub dies { die "it failed\n" }
sub batch { $KALDOR::Install::Config{BatchMode} = 1; die "in batch\n" }
1;
PM2
system('tar', '-C', $pkgs, '-czf', "$pkgs/probe.tgz", 'Probe') == 0 or die;
my @probe = ('--inc', "$pkgs/probe.tgz", '--main', 'Probe::Main::main');

sub facts {
    my ($out) = @_;
    return { map { /^(\w+)=(.*)$/ ? ($1, $2) : () } split /\n/, $out };
}

subtest 'option passes' => sub {
    my ($code, $out) = run_kit("$kit/rynsetup", ["\x96main", 'Probe::Main::main', '--inc',
                                                 "$pkgs/probe.tgz", 'left', '-DEBUG',
                                                 'Start Exporter foo bar', '--archive', 'x.tgz',
                                                 '--upuser', 'nobody', '-d', 'value']);
    is($code, 0, 'runs');
    my $f = facts($out);
    is($f->{args}, 'left|-d|value|--debug|foo bar',
       'en dash, options in any case, archive removed, "-d" not taken for debug, debug words last');
    is($f->{debug}, '1,1', 'debug words with Start and Exporter set DEBUG variables');
    is($f->{UPUser}, 'nobody', 'upuser');
    is($f->{ProgramName}, 'rynsetup', 'program name');

    ($code, $out) = run_kit("$kit/rynsetup", [@probe, '--main', 'Probe::Main::main', '--inc',
                                              "$pkgs/probe.tgz"]);
    is($code, 0, 'an option given twice: the later value wins');
};

subtest 'the include list' => sub {
    my ($code, $out) = run_kit("$kit/rynsetup", [@probe]);
    is(facts($out)->{inc}, "$pkgs/probe.tgz|$kit", 'inc entries, then the runtime directory');

    my $dir = copy_kit(temp_dir());
    system('cp', "$pkgs/probe.tgz", "$dir/LMXINST.TGZ") == 0 or die;
    system('cp', "$pkgs/probe.tgz", "$dir/second.tgz") == 0 or die;
    ($code, $out) = run_kit("$dir/rynsetup", ['--main', 'Probe::Main::main']);
    is(facts($out)->{inc}, "$dir/LMXINST.TGZ|$dir", 'by default LMXINST.TGZ, then the runtime directory');
    ($code, $out) = run_kit("$dir/rynsetup", ['--main', 'Probe::Main::main', '--inc',
                                              "second.tgz:$pkgs/probe.tgz"]);
    is(facts($out)->{inc}, "$dir/second.tgz|$pkgs/probe.tgz|$dir",
       'relative entries are made absolute against the runtime directory');
};

subtest 'TmpLDPath is stored, emptied and removed' => sub {
    my $tmp = make_tree(temp_dir() . '/ld', 'a.so' => 'x', 'b.so' => 'y');
    my ($code, $out) = run_kit("$kit/rynsetup", [@probe, '--TmpLDPath', $tmp]);
    is(facts($out)->{TmpLDPath}, $tmp, 'stored');
    ok(!-e $tmp, 'removed after the main sub');
};

subtest 'main sub failures' => sub {
    my ($code, $out, $err) = run_kit("$kit/rynsetup", ['--main', 'Foo']);
    is($code, 255, 'no package: -1');
    is($err, "Cannot get start package name (main = Foo)\n", 'its message');

    # Without a terminal, the launchers show errors as caption and text on
    # standard error.
    my @inc = ('--inc', "$pkgs/probe.tgz");
    ($code, $out, $err) = run_kit("$kit/rynsetup", [@inc, '--main', 'No::Such::main'], setsid => 1);
    is($code, 255, 'package missing: -1');
    like($err, qr/\ANorvik Tessel Installer Runtime Error\nperl compilation error \(loading No::Such\):\nCan't locate No\/Such\.pm in \@INC/,
         'reported through perlruntime_err');

    ($code, $out) = run_kit("$kit/rynsetup", [@inc, '--main', 'Probe::Main::absent']);
    is($code, 255, 'sub missing: -1');
    is($out, "cannot find main sub Probe::Main::absent\n", 'its message');

    ($code, $out, $err) = run_kit("$kit/rynsetup", [@inc, '--main', 'Probe::Other::dies'], setsid => 1);
    is($code, 255, 'main sub dies: -1');
    is($err, "Norvik Tessel Installer Runtime Error\nperl runtime error (calling symbol "
           . "\"Probe::Other::dies\"):\nit failed\n", 'its message');

    ($code) = run_kit("$kit/rynsetup", [@inc, '--main', 'Probe::Other::main', 'die "\n"']);
    is($code, 0, 'a die with a bare line break is a silent exit');

    ($code, $out, $err) = run_kit("$kit/ryninst", [@inc, '--main', 'Probe::Other::batch'], setsid => 1);
    is($err, "perl runtime error (calling symbol \"Probe::Other::batch\"):\nin batch\n\n",
       'in batch mode the text goes to standard error, with no key prompt');
    is($out, '', 'nothing on standard output');
};

subtest 'errors of other program names' => sub {
    local $KALDOR::Install::Config{ProgramName} = 'tester';
    my $err = '';
    {
        local *STDERR;
        open(STDERR, '>', \$err) or die;
        KALDOR::Install::Start::perlruntime_err("some text\n");
    }
    is($err, "Norvik Tessel Installer Runtime Error:\nsome text\n", 'on standard error, no line added');
};

subtest 'scripts' => sub {
    my $caller = temp_dir();
    write_file("$caller/rel.pl", "print join('|', \@ARGV), qq{\\n}; print join('|', \@INC), qq{\\n}; 9;\r\n");
    my ($code, $out) = run_kit("$kit/ryninst", ['--script', 'rel.pl', 'a', '--inc', 'x.tgz:/y', 'b'],
                               cwd => $caller);
    is($code, 9, 'a relative script is found in the caller directory; its value is the exit code');
    is($out, "a|b\nx.tgz|/y|$kit\n", 'remaining arguments in @ARGV; inc entries as given');

    ($code, $out) = run_kit("$kit/ryninst", ['--script', "$caller/missing.pl"]);
    is($code, 255, 'an unreadable script: -1');
    is($out, "cannot read $caller/missing.pl\nNo such file or directory\n", 'with the reason');
    ($code, $out) = run_kit("$kit/ryninst", ['--script', $caller]);
    is($out, "cannot read $caller\nIs a directory\n", 'a directory is not a script');

    write_file("$caller/silent.pl", "die qq{ \\n};\n");
    is((run_kit("$kit/ryninst", ['--script', "$caller/silent.pl"]))[0], 0, 'a silent die: 0');
    write_file("$caller/dies.pl", "\n\ndie 'broken';\n");
    my $err;
    ($code, $out, $err) = run_kit("$kit/ryninst", ['--script', "$caller/dies.pl"], setsid => 1);
    is($code, 255, 'a die: -1');
    is($err, "Norvik Tessel Installer Runtime Error\nperl runtime error:\nbroken at "
           . "$caller/dies.pl line 3.\n", 'reported with the script\'s own line');
};

subtest 'RuntimeDir normalisation' => sub {
    my %cases = ('.' => '/c/d', './x y' => '/c/d/x', 'rel/../r' => '/c/d/r',
                 '/a/./b/../c' => '/a/c', 'C:\\kit\\instruntime\\..\\x' => 'C:/kit/x',
                 '/a/0/../b' => '/a/0/../b', '/../x' => '/../x', '/kit/' => '/kit');
    for my $in (sort keys %cases) {
        is(KALDOR::Install::Start::normalise_runtime_dir($in, '/c/d'), $cases{$in}, "'$in'");
    }
};

subtest 'splash screen and window id' => sub {
    my $dir = copy_kit(temp_dir());
    my ($code, $out) = run_kit("$dir/rynsetup", [@probe, '--splash_fast', '--EXTRACTOR_WINID', '1f']);
    is($code, 0, 'without the splash archives, and with a window that cannot be destroyed');
    is(facts($out)->{NO_SPLASH}, '-', 'no splash shown');

    my $wx = make_tree(temp_dir(), 'LMX/Wx/Splash.pm' => <<'PM');
package LMX::Wx::Splash;
our $Window;
sub new { my ($class, @args) = @_; print "splash=", join('|', @args), "\n";
          $Window = bless {}, 'Fake::Window' }
sub Wx::Yield { }
package Fake::Window;
sub Show { print "show=$_[1]\n" }
sub Destroy { print "destroy\n" }
1;
PM
    system('tar', '-C', $wx, '-czf', "$dir/WXPERL.TGZ", 'LMX') == 0 or die;
    write_file("$dir/RESOURCES.TGZ", 'resources');
    ($code, $out) = run_kit("$dir/rynsetup", [@probe, '--splash_fast']);
    my $f = facts($out);
    is($f->{splash}, "$dir/RESOURCES.TGZ|splash/InstallationManager.png|0", 'the splash module is called');
    is($f->{NO_SPLASH}, 1, 'NO_SPLASH is set');
    ($code, $out) = run_kit("$dir/rynsetup", ['--splash_fast', '--inc', "$pkgs/probe.tgz",
                                              '--main', 'Probe::Other::dies'], setsid => 1);
    like($out, qr/show=0\ndestroy\n/, 'a fatal error closes the splash window first');

    write_file("$wx/LMX/Wx/Splash.pm", "die qq{no toolkit\\n};\n");
    system('tar', '-C', $wx, '-czf', "$dir/WXPERL.TGZ", 'LMX') == 0 or die;
    my $err;
    ($code, $out, $err) = run_kit("$dir/rynsetup", [@probe, '--splash_fast']);
    isnt($code, 0, 'a splash module that fails ends the process');
    like($err, qr/^cannot load wxWidgets properly: no toolkit$/m, 'with its message');
};

finish();
