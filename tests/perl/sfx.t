# Self-extracting archives: CreateSelfExtractingArchive with the kit's
# lmxsfx in front, the kit's files added, and the result run on its own:
# the installer's arguments and exit code pass through, and no temporary
# directory is left behind, whether the installer succeeds, fails or is
# interrupted.
use strict;
use warnings;
use Test::More;
use File::Find ();
use LmxTest qw(finish kit temp_dir write_file read_file run_kit);
use LmxTest::Zip qw(python_zip);
use LmxTest::Untgz qw(run_script);

bootstrap KALDOR::Install::Jar;

my $kit = kit();
my $dir = temp_dir();
my $sfx = "$dir/setup.run";
my $tmp = temp_dir();    # the self-extractor's TMPDIR
my %env = (TMPDIR => $tmp);

sub leftovers {
    opendir(my $d, $tmp) or return ['cannot read TMPDIR'];
    return [grep { !/^\.\.?$/ } readdir $d];
}

# The kit's files as relative paths, the self-extractor, the graphical
# launcher and the store's tool left out.
my @files;
File::Find::find({no_chdir => 1, wanted => sub {
    return unless -f $_;
    (my $relative = $_) =~ s{^\Q$kit\E/}{};
    push @files, $relative unless $relative =~ /^(lmxsfx|rynsetup|lmxreg)$/;
}}, $kit);
@files = sort @files;

subtest 'making the archive' => sub {
    chdir $kit or die "chdir $kit: $!\n";
    my $jar = KALDOR::Install::Jar->new();
    is($jar->CreateSelfExtractingArchive($sfx, "$kit/lmxsfx"), 1, 'CreateSelfExtractingArchive');
    my @failed = grep { my $path = $_; ($jar->Add($path) // -1) != 0 } @files;
    is_deeply(\@failed, [], 'Add of every kit file');
    is($jar->CloseArchive(), 0, 'CloseArchive');
    my $program = read_file("$kit/lmxsfx");
    is(substr(read_file($sfx), 0, length $program), $program, 'the archive begins with lmxsfx');
    ok(-x $sfx, 'and can be run');
    (my @listed = `zipinfo -1 '$sfx' 2>/dev/null`) or fail('zipinfo lists nothing');
    chomp @listed;
    is_deeply([sort @listed], [sort map { (my $n = $_) =~ s{/}{\\}g; $n } @files],
              'the archive lists exactly the added files');
    my $listing = `unzip -l '$sfx' 2>&1`;
    like($listing, qr/\s\Q${\ scalar @files}\E files\n/, 'unzip -l finds as many');

    my ($code, $out, $err) = run_script(<<"PL");
bootstrap KALDOR::Install::Jar;
my \$jar = KALDOR::Install::Jar->new();
print defined \$jar->CreateSelfExtractingArchive('$dir/no/such/dir/x', '$kit/lmxsfx') ? 1 : 0;
print defined \$jar->CreateSelfExtractingArchive('$dir/x', '$dir/missing') ? 1 : 0;
0;
PL
    is($out, '00', 'undef when the archive cannot be made or the extractor is missing');
    is($err, "cannot create pk zip archive $dir/no/such/dir/x\ncannot set extractor $dir/missing\n",
       'with the messages');
};

subtest 'running it' => sub {
    my %demo_env = (%env, LMX_STORE_DIR => temp_dir());
    my $target = "$dir/demo target";
    my ($code, $out, $err) = run_kit($sfx, ['--target', $target, '--yes'], env => \%demo_env);
    is($code, 0, 'the demo installer succeeds') or diag($err);
    like($out, qr/is installed in \Q$target\E\./, 'the kit\'s demo installer ran');
    is_deeply(leftovers(), [], 'no temporary directory is left');
    ($code, $out, $err) = run_kit("$target/bin/rynuninst", [], env => \%demo_env);
    is($code, 0, 'the installed uninstaller removes it again') or diag($err);
    ok(!-e "$target/bin", 'the product is gone');

    my $report = write_file("$dir/report.pl",
                            "print qq{\$KALDOR::Install::Config{RuntimeDir} [\@ARGV]\\n}; 0;\n");
    ($code, $out) = run_kit($sfx, ['--script', $report, 'a', 'b c'], env => \%env);
    like($out, qr/^\Q$tmp\E\/lmxsfx\.\w+ \[a b c\]$/, 'from a directory below TMPDIR, with the arguments');
    is_deeply(leftovers(), [], 'no temporary directory is left');

    my $exit = write_file("$dir/exit.pl", "print qq{script ran\\n}; 7;\n");
    ($code, $out) = run_kit($sfx, ['--script', $exit], env => \%env);
    is($code, 7, 'the installer\'s exit code');
    is($out, "script ran\n", 'its output');
    my $dies = write_file("$dir/dies.pl", "die qq{installer failed\\n};\n");
    ($code, $out, $err) = run_kit($sfx, ['--script', $dies], env => \%env);
    isnt($code, 0, 'a failing installer');
    like($out . $err, qr/installer failed/, 'says so');
    is_deeply(leftovers(), [], 'and leaves no directory either');
    ($code, $out, $err) = run_kit($sfx, ['--script', $exit], env => { %env, TMPDIR => "$dir/none" });
    is($code, 1, 'a TMPDIR that cannot hold the kit');
    like($err, qr/^lmxsfx: cannot create a temporary directory in \Q$dir\E\/none: .* \(set TMPDIR/,
         'is named, with what to do');
};

subtest 'interrupted' => sub {
    my $marker = "$dir/started";
    my $script = write_file("$dir/sleeps.pl", "open(my \$f, '>', '$marker'); close \$f; sleep 60; 0;\n");
    my $pid = fork();
    if ($pid == 0) {
        $ENV{TMPDIR} = $tmp;
        open(STDOUT, '>', '/dev/null');
        exec $sfx, '--script', $script;
        exit 127;
    }
    for (1 .. 600) { last if -e $marker; select(undef, undef, undef, 0.05) }
    ok(-e $marker, 'the installer runs');
    kill 'TERM', $pid;
    waitpid($pid, 0);
    is($? & 127, 15, 'the self-extractor ends by the signal it was sent');
    is_deeply(leftovers(), [], 'after removing its directory');
};

subtest 'archives without a kit' => sub {
    my ($code, $out, $err) = run_kit("$kit/lmxsfx", [], env => \%env);
    is($code, 1, 'lmxsfx on its own');
    like($err, qr/^lmxsfx: no installation kit inside \Q$kit\E\/lmxsfx$/m, 'says so');
    my $plain = python_zip("$dir/plain.zip", ['readme', 'no installer here']);
    my $front = write_file("$dir/front.run", read_file("$kit/lmxsfx") . read_file($plain));
    chmod 0755, $front;
    ($code, $out, $err) = run_kit($front, [], env => \%env);
    is($code, 1, 'an archive without ryninst');
    like($err, qr/no installation kit inside/, 'says so too');
    is_deeply(leftovers(), [], 'nothing was extracted');
};

finish();
