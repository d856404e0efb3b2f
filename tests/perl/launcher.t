# The launchers as programs: where they find the runtime library, what they
# hand on, and their failures.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit write_file copy_kit);

# A main package that reports what it received, one line per fact.
my $report = temp_dir();
write_file("$report/Report/Main.pm", <<'PM');
package Report::Main;
sub main {
    my $c = \%KALDOR::Install::Config;
    print "args=", join('|', @_), "\n";
    print "$_=$c->{$_}\n" for qw(ProgramName UsedLMXRUN CallerDir RuntimeDir);
    print "cwd=", `pwd`;
    print "PATH=$ENV{PATH}\n";
    return 0;
}
1;
PM
system('tar', '-C', $report, '-czf', "$report/report.tgz", 'Report') == 0 or die;
my @report = ('--inc', "$report/report.tgz", '--main', 'Report::Main::main');

# The launchers' default main packages, each printing the program name.
my $defaults = temp_dir();
for my $package (qw(Console::Installation Console::Uninstallation Gui::Installation)) {
    (my $file = "LMX/Install/App/$package.pm") =~ s{::}{/}g;
    write_file("$defaults/$file", "package LMX::Install::App::$package;\n"
               . "sub main { print \"ProgramName = \$KALDOR::Install::Config{ProgramName}\\n\"; 0 }\n1;\n");
}
system('tar', '-C', $defaults, '-czf', "$defaults/defaults.tgz", 'LMX') == 0 or die;

sub facts {
    my ($out) = @_;
    return { map { /^(\w+)=(.*)$/ ? ($1, $2) : () } split /\n/, $out };
}

my $kit = kit();
my $caller = temp_dir();

subtest 'kit layout: library beside the launcher' => sub {
    my ($code, $out) = run_kit("$kit/ryninst", ['a', 'b', @report], cwd => $caller);
    is($code, 0, 'exit code of the main sub');
    my $f = facts($out);
    is($f->{args}, 'a|b', 'the main sub gets the remaining arguments, not argv[0]');
    is($f->{ProgramName}, 'ryninst', 'program name passed on');
    is($f->{UsedLMXRUN}, 'kit', 'kit runtime');
    is($f->{CallerDir}, $caller, 'caller directory');
    is($f->{RuntimeDir}, $kit, 'runtime directory');
    is($f->{cwd}, $kit, 'working directory during the run is the runtime directory');
    like($f->{PATH}, qr/^\Q$kit\E:/, 'PATH begins with the library directory');
};

subtest 'a caller directory of any length' => sub {
    my $deep = $caller;
    $deep .= '/' . ('d' x 200) for 1 .. 8;    # 1600 bytes and more, below the host's limit
    system('mkdir', '-p', $deep) == 0 or die "mkdir $deep\n";
    my ($code, $out) = run_kit("$kit/ryninst", \@report, cwd => $deep);
    is($code, 0, 'runs');
    is(facts($out)->{CallerDir}, $deep, 'the whole caller directory');
};

subtest 'each launcher passes its own name and default main sub' => sub {
    for my $launcher (qw(ryninst rynsetup rynuninst)) {
        my ($code, $out) = run_kit("$kit/$launcher", ['--inc', "$defaults/defaults.tgz"],
                                   cwd => $caller);
        is($code, 0, "$launcher runs its default main sub");
        like($out, qr/ProgramName = $launcher\n/, "$launcher names itself");
    }
};

subtest 'instruntime layout' => sub {
    my $dir = copy_kit(temp_dir(), library_dir => 'instruntime', launcher_dir => '');
    my ($code, $out) = run_kit("$dir/rynsetup", \@report, cwd => $caller);
    is($code, 0, 'runs');
    my $f = facts($out);
    is($f->{RuntimeDir}, "$dir/instruntime", 'library below the launcher');
    is($f->{cwd}, "$dir/instruntime", 'working directory is the library directory');
    is($f->{CallerDir}, $caller, 'caller directory unchanged');
    is($f->{UsedLMXRUN}, 'kit', 'not the installed layout');
};

subtest 'installed layout' => sub {
    my $dir = copy_kit(temp_dir(), library_dir => 'install', launcher_dir => 'bin');
    my ($code, $out) = run_kit("$dir/bin/ryninst", ['x', @report], cwd => $caller);
    is($code, 0, 'runs');
    my $f = facts($out);
    is($f->{UsedLMXRUN}, 'installed', '-installed_lmxrun_used was appended');
    is($f->{RuntimeDir}, "$dir/install", 'the ../install/ library, normalised');
    is($f->{args}, 'x', 'the appended option is taken, not passed on');
};

subtest 'bare name: from the working directory and through PATH' => sub {
    my $dir = copy_kit(temp_dir());
    my ($code, $out) = run_kit("$dir/ryninst", \@report, cwd => $dir, argv0 => 'ryninst');
    is($code, 0, 'started by bare name in its own directory');
    is(facts($out)->{RuntimeDir}, $dir, 'its own library is used');
    ($code, $out) = run_kit("$dir/ryninst", \@report, cwd => $caller, argv0 => 'ryninst',
                            env => { PATH => "/nonexistent::$dir:/usr/bin" });
    is($code, 0, 'started by bare name through PATH');
    my $f = facts($out);
    is($f->{RuntimeDir}, $dir, 'the library beside the PATH entry');
    like($f->{PATH}, qr/^\Q$dir\E:\/nonexistent::/, 'PATH extended in front');
};

subtest 'started through a symbolic link' => sub {
    my $links = temp_dir();
    symlink("$kit/ryninst", "$links/ryninst") or die "symlink: $!\n";
    my ($code, $out, $err) = run_kit("$links/ryninst", \@report, cwd => $caller);
    is($code, 0, 'a link by path runs') or diag($err);
    is(facts($out)->{RuntimeDir}, $kit, 'with the library beside the linked launcher');
    ($code, $out) = run_kit("$links/ryninst", \@report, cwd => $caller, argv0 => 'ryninst',
                            env => { PATH => "$links:/usr/bin" });
    is(facts($out)->{RuntimeDir}, $kit, 'a link found through PATH too');

    # The installed uninstaller linked into a bin directory of its own, by a
    # relative link to a link.
    my $dir = copy_kit(temp_dir(), library_dir => 'install', launcher_dir => 'bin');
    symlink("$dir/bin/rynuninst", "$links/first") or die "symlink: $!\n";
    symlink('first', "$links/rynuninst") or die "symlink: $!\n";
    ($code, $out) = run_kit("$links/rynuninst", \@report, cwd => $links, argv0 => './rynuninst');
    my $f = facts($out);
    is($f->{RuntimeDir}, "$dir/install", 'the installed uninstaller finds its library');
    is($f->{UsedLMXRUN}, 'installed', 'in the installed layout');
};

subtest 'failures' => sub {
    my ($code, $out) = run_kit("$kit/ryninst", [], argv0 => 'no-such-launcher',
                               env => { PATH => '/nonexistent' });
    is($code, 67, 'launcher directory unknown: exit code 67');
    is($out, "cannot find path for arg0: no-such-launcher\n", 'message on standard output');

    my $alone = temp_dir();
    system('cp', "$kit/ryninst", $alone) == 0 or die;
    my $err;
    ($code, $out, $err) = run_kit("$alone/ryninst", []);
    is($code, 255, 'no library: exit code -1');
    is($err, "cannot load lib $alone/../install/lmxrun.so, error (126) "
           . "The specified module could not be found.\n", 'load message with the system text, '
           . 'one line end');

    write_file("$alone/lmxrun.so", "not a library\n" x 20);
    ($code, $out, $err) = run_kit("$alone/ryninst", []);
    is($code, 255, 'not a shared object: exit code -1');
    like($err, qr/^cannot load lib \Q$alone\E\/lmxrun.so, error \(193\) /, 'bad format');

    system('cp', '/lib/x86_64-linux-gnu/libz.so.1', "$alone/lmxrun.so") == 0 or die;
    ($code, $out, $err) = run_kit("$alone/ryninst", []);
    is($code, 255, 'no entry point: exit code -1');
    is($err, "cannot find entry point lmxrun_main\n", 'entry point message');
};

subtest 'main sub chosen by the caller' => sub {
    my ($code, $out) = run_kit("$kit/ryninst", ['-main', 'Report::Main::main', '--inc',
                                                "$report/report.tgz"]);
    is($code, 0, '-main with a value replaces the default');
    ($code, $out) = run_kit("$kit/ryninst", ['--inc', "$report/report.tgz",
                                             '--main=Report::Main::main']);
    is($code, 0, '--main=value replaces the default');
    like($out, qr/^args=$/m, 'nothing is left for the main sub');
};

finish();
