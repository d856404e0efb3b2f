# The kit builder: a kit made from a small installer holds its modules, the
# standard modules and shared objects the installer loaded, and its payload,
# and runs it from another directory without the host's Perl library; bad
# calls, a failing installer and an interruption leave nothing behind.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit read_file write_file make_tree);
use LmxTest::Kit qw(sample_installer lmxkit);
use LmxTest::Users qw(have_setpriv);

my $dir = temp_dir();
my ($modules, $payload) = sample_installer($dir);
my $tmp = temp_dir();    # lmxkit's TMPDIR
my %env = (TMPDIR => $tmp);

sub entries {
    my ($path) = @_;
    opendir(my $handle, $path) or return ['cannot read'];
    return [sort grep { !/^\.\.?$/ } readdir $handle];
}

sub members {
    my ($archive) = @_;
    my @names = `tar -tzf '$archive'`;
    chomp @names;
    return @names;
}

# Whether a failed lmxkit run exited with $status (default 1), ended with
# one line that matches $pattern (after what the installer said, if it ran)
# and left no trace in $parent or in its TMPDIR.
sub refused_cleanly {
    my ($what, $args, $pattern, $parent, $status) = @_;
    my $before = entries($parent);
    my ($code, $out, $err) = lmxkit($args, env => \%env);
    is($code, $status // 1, "$what: fails with exit status " . ($status // 1));
    like($err, qr/(?:\A|\n)lmxkit: $pattern\n\z/, "$what: a last line says why");
    is_deeply(entries($parent), $before, "$what: nothing is made");
    is_deeply(entries($tmp), [], "$what: no temporary files are left");
}

my $other = temp_dir();
subtest 'a kit runs its installer from another directory' => sub {
    # An older kit there is replaced as a whole.
    write_file("$dir/kit/$_", "old kit\n") for qw(ryninst lmxrun.so stale);
    my ($code, $out, $err) = lmxkit(['-o', "$dir/kit", $modules, $payload,
                                     '--', '--target', "$dir/trace-target"], env => \%env);
    is($code, 0, 'lmxkit succeeds') or diag($err);
    like($out, qr{^lmxkit: \Q$dir\E/kit: \d+ standard modules, \d+ shared objects, 0 libraries$}m,
         'and says what it packed');
    unlike($out, qr/^not ok/m, 'the trace run of the installer passed');
    my %member = map { $_ => 1 } members("$dir/kit/LMXINST.TGZ");
    my @wanted = qw(LMX/Install/App/Console/Installation.pm File/Spec.pm File/Spec/Unix.pm
                    File/Path.pm POSIX.pm JSON/PP.pm Encode.pm Encode/Byte.pm Test/More.pm
                    Test2/Formatter/TAP.pm DynaLoader.pm);
    is_deeply([grep { !$member{$_} } @wanted], [], 'LMXINST.TGZ holds the installer\'s modules '
              . 'and the standard ones it loaded, even lazily');
    is_deeply([grep { m{^/|^\./|\.\./} } keys %member], [], 'named relative to the search root');
    is_deeply([grep { !-f "$dir/kit/auto/$_" } qw(POSIX/POSIX.so Fcntl/Fcntl.so Encode/Encode.so
                                                  Encode/Byte/Byte.so Cwd/Cwd.so)],
              [], 'the extension modules\' shared objects are in auto/');
    is_deeply([sort(members("$dir/kit/PAYLOAD.TGZ"))],
              [qw(bin/ bin/tool settings.json share/ share/doc/ share/doc/README)],
              'PAYLOAD.TGZ holds the payload');
    is_deeply(entries($tmp), [], 'no temporary files are left');
    ok(!-e "$dir/kit/stale", 'the older kit is gone');
    is_deeply([grep { /kit/ } @{ entries($dir) }], ['kit'], 'with nothing left beside the new one');

    rename("$dir/kit", "$other/moved") or die "rename: $!\n";
    ($code, $out, $err) = run_kit("$other/moved/ryninst", ['--target', "$dir/target"],
                                  env => { LMX_TRACE_MODULES => 'trace' }, cwd => $dir);
    is($code, 0, 'the moved kit runs the installer') or diag($err);
    like($out, qr/^1\.\.8$/m, 'all its checks ran');
    unlike($out, qr/^not ok/m, 'and passed');
    is(read_file("$dir/target/share/doc/README"), "sample product\n", 'the payload is installed');
    is((stat "$dir/target/share/doc/README")[9], (stat "$payload/share/doc/README")[9],
       'with the times of the payload\'s files');
    # A relative trace file is taken in the caller's directory.
    my @trace = split /\n/, read_file("$dir/trace") // '';
    my @outside = grep { /^module/ && !m{\t\Q$other\E/moved/} } @trace;
    is_deeply(\@outside, [], 'no module file came from outside the kit');
    my @objects = grep { m{^object\t.*/auto/(?:POSIX|Encode|Fcntl|Cwd|List/Util)/} } @trace;
    is(scalar(@objects), 6, 'the extension modules were loaded (List::Util by its bridge)');
    is_deeply([grep { !m{\t\Q$other\E/moved/auto/} } @objects], [], 'from the kit\'s auto/');
};

subtest 'bad calls' => sub {
    my ($code, $out) = lmxkit(['--help']);
    is($code, 0, '--help succeeds');
    like($out, qr/^usage: lmxkit \[-o KITDIR\] \[--onefile OUT\] \[--portable\] MODULES_DIR PAYLOAD_DIR/,
         'and shows the usage');
    like($out, qr/^Exit status: 0 .* 1 .* 2 for a bad\s+command line/m, 'and the exit statuses');
    refused_cleanly('an unknown option', ['--bogus', $modules, $payload], 'Unknown option: bogus',
                    $dir, 2);
    refused_cleanly('no output', [$modules, $payload], 'give -o KITDIR or --onefile OUT, or both',
                    $dir, 2);
    refused_cleanly('a missing payload', ['-o', "$dir/out", $modules, "$dir/none"],
                    "no payload directory \Q$dir\E/none", $dir);
    refused_cleanly('an output directory that is no kit', ['-o', $modules, $modules, $payload],
                    "\Q$modules\E exists and is not a kit", $dir);
    ok(-f "$modules/LMX/Install/App/Console/Installation.pm", 'which stays as it was');
    refused_cleanly('an output in the payload', ['--onefile', "$payload/setup.run", $modules, $payload],
                    "\Q$payload\E/setup.run lies in the input directory \Q$payload\E", $payload);
    refused_cleanly('the kit lmxkit works from', ['-o', kit(), $modules, $payload],
                    "\Q${\ kit()}\E is the kit lmxkit works from", $dir);

    my $main = "LMX::Install::App::Console::Installation";
    my $other = make_tree("$dir/other", 'LMX/Other.pm' => "package LMX::Other; 1;\n");
    refused_cleanly('no main package', ['-o', "$dir/out", $other, $payload],
                    "\Q$other\E lacks the main package $main "
                    . '\(LMX/Install/App/Console/Installation.pm\)', $dir);
    my $broken = make_tree("$dir/broken", 'LMX/Install/App/Console/Installation.pm'
                           => "package $main;\nuse No::Such::Module;\nsub main { 0 }\n1;\n");
    refused_cleanly('a main package that does not load', ['-o', "$dir/out", $broken, $payload],
                    "$main does not load: Can't locate No/Such/Module.pm in \@INC[^\n]*"
                    . 'Installation.pm line 2\.', $dir);

    # An unwritable place for the output, as a user without the right.
    SKIP: {
        skip 'needs root and setpriv', 3 unless have_setpriv();
        my $open = temp_dir();
        my $small = make_tree("$open/m", 'LMX/Install/App/Console/Installation.pm'
                              => "package $main;\nsub main { 0 }\n1;\n");
        mkdir("$open/$_") or die "mkdir: $!\n" for qw(p ro);
        system('chmod', '-R', 'a+rX', $open) == 0 or die "chmod $open\n";
        my ($code, $out, $err) = run_kit('/usr/bin/setpriv',
            ['--reuid=nobody', '--regid=nogroup', '--clear-groups', kit() . '/lmxkit', '-o',
             "$open/ro/kit", $small, "$open/p"]);
        is($code, 1, 'an unwritable output directory: exit status 1');
        is($err, "lmxkit: cannot work beside $open/ro/kit: Permission denied\n", 'with one line');
        is_deeply(entries("$open/ro"), [], 'and nothing made');
    }
};

subtest 'modules that do not load, an empty payload, counts of one' => sub {
    # The main package loads IO: one standard module and one shared object.
    my $tree = make_tree("$dir/one", 'LMX/Install/App/Console/Installation.pm'
                         => "package LMX::Install::App::Console::Installation;\nuse IO ();\n"
                            . "sub main { 0 }\n1;\n",
                         'LMX/Bad.pm' => "package LMX::Bad;\nsub broken {\n");
    my $empty = temp_dir();
    my ($code, $out, $err) = lmxkit(['-o', "$dir/one-kit", $tree, $empty], env => \%env);
    is($code, 0, 'a module of the tree that does not load does not stop lmxkit') or diag($err);
    like($err, qr{^lmxkit: warning: LMX/Bad\.pm does not load: Missing right curly}m,
         'it is warned about');
    is($out, "lmxkit: $dir/one-kit: 1 standard module, 1 shared object, 0 libraries\n",
       'each count with its own noun');
    is_deeply([members("$dir/one-kit/PAYLOAD.TGZ")], [], 'an empty payload gives an empty archive');
    ($code, $out, $err) = run_kit("$dir/one-kit/ryninst", []);
    is($code, 0, 'and the kit runs') or diag($err);
};

subtest 'a failing installer or an interruption leaves nothing behind' => sub {
    # A small installer that fails, or with --wait MARKER writes MARKER and
    # waits to be stopped, built over the kit made above, which stays as it is.
    my $modules = make_tree("$dir/small", 'LMX/Install/App/Console/Installation.pm' => <<'PM');
package LMX::Install::App::Console::Installation;
sub main {
    my ($option, $marker) = @_;
    die "failed on purpose\n" unless ($option // '') eq '--wait';
    open(my $out, '>', $marker) or die "cannot write $marker\n";
    close $out;
    sleep 60;
}
1;
PM
    my $kit = "$other/moved";
    my $snapshot = sub { return [sort `find '$kit' -printf '%P %s %T@\n'`] };
    my $kit_files = $snapshot->();
    refused_cleanly('a failing trace run', ['-o', $kit, $modules, $payload, '--', '--nothing'],
                    "the installer's trace run failed \\(exit 255\\)", $other);

    my $before = entries($dir);
    my $signals = temp_dir();
    my ($marker, $errors) = ("$signals/waiting", "$signals/errors");
    my $pid = fork();
    die "fork: $!\n" unless defined $pid;
    if ($pid == 0) {
        $ENV{TMPDIR} = $tmp;
        open(STDOUT, '>', '/dev/null');
        open(STDERR, '>', $errors);
        exec(kit() . '/lmxkit', '--onefile', "$dir/out.run", '-o', $kit, $modules, $payload,
             '--', '--wait', $marker) or exit 127;
    }
    my $waited = 0;
    select(undef, undef, undef, 0.1) while !-e $marker && ++$waited < 600;
    ok(-e $marker, 'the trace run started');
    kill('INT', $pid);
    waitpid($pid, 0);
    is($? >> 8, 130, 'SIGINT ends lmxkit');
    is(read_file($errors), "lmxkit: interrupted; nothing was made\n", 'and it says so');
    is_deeply(entries($dir), $before, 'no one-file installer is left');
    is_deeply(entries($tmp), [], 'no temporary files are left');
    is_deeply($snapshot->(), $kit_files, 'the kit is as it was');
    is_deeply(entries($other), ['moved'], 'with nothing beside it');
};

finish();
