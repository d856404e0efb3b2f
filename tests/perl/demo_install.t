# The demo installer through the kit's launchers: an installation that puts
# exactly the payload (as GNU tar extracts it) and the runtime's copy into
# the target and registers the product; the installed program; the
# installed uninstaller, which keeps what the user changed and can run
# again; refusals that leave the target as it was.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit write_file read_file);
use LmxTest::Demo qw(store_env tree_state registry_entry control_characters);

my $kit = kit();
my %env = store_env();
my $dir = temp_dir();
my $target = "$dir/product";

# The payload as GNU tar extracts it: the oracle of what must be installed.
my $oracle = "$dir/oracle";
mkdir $oracle;
system('tar', '-C', $oracle, '-xzf', "$kit/PAYLOAD.TGZ") == 0 or die "tar -xzf failed\n";

subtest 'installation' => sub {
    my ($code, $out, $err) = run_kit("$kit/ryninst", ['--target', $target, '--yes'], env => \%env);
    is($code, 0, 'ryninst succeeds') or diag($err);
    is(control_characters($out . $err), '', 'no control characters without a terminal');
    like($out, qr/^test run: .* every file can be written$/m, 'a test run first');
    like($out, qr/^space: +\S+ needs [\d.]+ MB, [\d.]+ [kMGT]B free$/m, 'the space needed and free');
    like($out, qr/^extracted \d+ files, [\d.]+ MB in [\d.]+ s$/m, 'one line for the extraction');
    like($out, qr/^verified \d+ files against their MD5 sums in/m, 'and one for the check');

    my %installed = map { $_ => 1 } split /\n/, tree_state($target);
    my @missing = grep { !delete $installed{$_} } split /\n/, tree_state($oracle);
    is_deeply(\@missing, [], 'every entry of the payload with its mode, size, target and content');
    my @left = sort map { (split /\t/)[0] } keys %installed;
    my @runtime = split /\n/, `cd '$kit' && find . -mindepth 1 \\( -type d -o -name '*.pm' -o -name lmxrun.so -o -name LMXINST.TGZ \\) -printf 'install/%P\\n'`;
    is_deeply(\@left, [sort 'bin/rynuninst', 'install', 'install/ryndemo.record', @runtime],
              'besides it only the runtime\'s copy and the record');
    is(`cmp '$kit/lmxrun.so' '$target/install/lmxrun.so' && echo same`, "same\n",
       'the library copied whole');

    my $entry = registry_entry(%env);
    ok(defined $entry, 'the uninstall entry is registered');
    like($entry, qr/DisplayName\s+REG_SZ\s+Ryn Demo$/m, 'DisplayName');
    like($entry, qr/DisplayVersion\s+REG_SZ\s+1\.0\.0$/m, 'DisplayVersion');
    like($entry, qr/InstallLocation\s+REG_SZ\s+\Q$target\E$/m, 'InstallLocation');
    like($entry, qr/UninstallString\s+REG_SZ\s+\Q$target\E\/bin\/rynuninst$/m, 'UninstallString');
};

subtest 'the installed program' => sub {
    my ($code, $out) = run_kit("$target/bin/ryndemo-hello", []);
    is($code, 0, 'runs through its link');
    like($out, qr/^Hello from Ryn Demo 1\.0\.0\.\nRyn Demo is installed in \Q$target\E /,
         'and finds its files');
};

subtest 'refusals leave the target as it was' => sub {
    my $before = tree_state($target);
    my ($code, $out, $err) = run_kit("$kit/ryninst", ['--target', $target, '--yes'], env => \%env);
    is($code, 1, 'a second installation into the target');
    like($err, qr/is installed in \Q$target\E already; uninstall it first/, 'is refused');
    ($code, $out, $err) = run_kit("$kit/ryninst", ['--target', "$dir/other", '--yes'], env => \%env);
    is($code, 1, 'an installation elsewhere while the product is registered');
    like($err, qr/registered as installed in \Q$target\E/, 'is refused too');
    ok(!-e "$dir/other", 'without making its target');
    is(tree_state($target), $before, 'the installed tree is untouched');

    my $crowded = "$dir/crowded";
    write_file("$crowded/etc/ryndemo.conf", "mine\n");
    write_file("$crowded/notes", "keep\n");
    my $crowded_before = tree_state($crowded);
    ($code, $out, $err) = run_kit("$kit/ryninst", ['--target', $crowded, '--yes'],
                                  env => { store_env() });
    is($code, 1, 'a target that holds a file of the product');
    like($err, qr/already holds what the product would replace \(etc\/ryndemo\.conf\)/,
         'is named in the refusal');
    like($err, qr/nothing was installed; \Q$crowded\E is as it was before/, 'which says so');
    is(tree_state($crowded), $crowded_before, 'and it is (the test run\'s directories are gone)');

    my $damaged = temp_dir() . '/kit';
    system('cp', '-al', $kit, $damaged) == 0 or die "cannot copy the kit\n";
    my $whole = read_file("$kit/PAYLOAD.TGZ");
    unlink "$damaged/PAYLOAD.TGZ";    # a link to the kit's own
    write_file("$damaged/PAYLOAD.TGZ", substr($whole, 0, length($whole) / 2));
    ($code, $out, $err) = run_kit("$damaged/ryninst", ['--target', $crowded, '--yes'],
                                  env => { store_env() });
    is($code, 1, 'a payload cut in half');
    like($err, qr/installation failed: .*unexpected end of archive/, 'is found by the test run');
    is(tree_state($crowded), $crowded_before, 'which leaves the target as it was');

    my %piped_env = store_env();
    system("LMX_STORE_DIR='$piped_env{LMX_STORE_DIR}' '$kit/ryninst' --target '$dir/piped' --yes "
           . '2>/dev/null | head -1 >/dev/null');
    ok(!-e "$dir/piped" && !defined registry_entry(%piped_env),
       'output that nobody reads any more (SIGPIPE) undoes the installation');

    ($code, $out, $err) = run_kit("$kit/ryninst", ['--target', "$dir/unasked"], env => \%env);
    is($code, 3, 'without a terminal to ask on and without --yes');
    like($err, qr/no terminal to ask on: give --yes/, 'nothing is installed');
    ok(!-e "$dir/unasked", 'not even the target made');

    ($code, $out, $err) = run_kit("$kit/ryninst", ['--target', $crowded, '--bogus'], env => \%env);
    is($code, 2, 'an unknown option');
    like($err, qr/^Unknown option: bogus\nusage: ryninst \[--target DIR\] \[--yes\] \[--help\]$/, 'the usage');
};

subtest 'uninstallation' => sub {
    write_file("$target/etc/ryndemo.conf", "greeting=changed by the user\n");
    write_file("$target/share/ryndemo/notes.txt", "the user's own file\n");
    unlink "$target/share/doc/ryndemo/CHANGES";
    my ($code, $out, $err) = run_kit("$target/bin/rynuninst", [], env => \%env);
    is($code, 0, 'the installed rynuninst succeeds') or diag($err);
    like($out, qr/runtime: the installed copy in \Q$target\E\/install\)/,
         'runs on the installed runtime');
    like($out, qr/^kept 1 file changed since the installation:\n  \Q$target\E\/etc\/ryndemo\.conf$/m,
         'keeps the file the user changed and says so');
    like($out, qr/^1 file was gone already$/m, 'counts the one the user removed');
    like($out, qr/^removed the registry entry /m, 'removes the registry entry');
    is(registry_entry(%env), undef, 'which is gone');
    is(`cd '$target' && find . | sort`,
       join('', map { "$_\n" } qw(. ./etc ./etc/ryndemo.conf ./share ./share/ryndemo
                                  ./share/ryndemo/notes.txt)),
       'only the user\'s files and their directories are left');

    ($code, $out, $err) = run_kit("$kit/rynuninst", ['--target', $target], env => \%env);
    is($code, 0, 'a second run');
    like($out, qr/nothing is installed in \Q$target\E$/m, 'is harmless');
    ($code, $out) = run_kit("$kit/rynuninst", [], env => \%env);
    like($out, qr/is not installed \(no uninstall entry/, 'without a target, from the registry');
};

# The uninstaller touches only what lies below the tree it removes, finds a
# moved tree's files where they are now, and keeps what it needs for a
# second run when a file cannot be removed.
subtest 'uninstallation of changed and moved trees' => sub {
    my %env = store_env();
    my $tree = "$dir/guarded";
    my $outside = write_file("$dir/outside.txt", "not the product's\n");
    run_kit("$kit/ryninst", ['--target', $tree, '--yes'], env => \%env);
    my $record = "$tree/install/ryndemo.record";
    my $recorded = read_file($record);
    write_file($record, $recorded . "runtime\t-\t$outside\n");
    my $before = tree_state($tree);
    my ($code, $out, $err) = run_kit("$kit/rynuninst", ['--target', $tree], env => \%env);
    is($code, 1, 'a record that names a file outside the tree');
    like($err, qr/names \Q$outside\E, which does not lie below .*nothing was removed/, 'is refused');
    ok(-e $outside && tree_state($tree) eq $before && defined registry_entry(%env),
       'the file, the tree and the entry stay');
    write_file($record, $recorded);
    (rename("$tree/install", "$tree/real") && symlink('real', "$tree/install")) or die;
    ($code, $out, $err) = run_kit("$kit/rynuninst", ['--target', $tree], env => \%env);
    like($err, qr/record \S+ lies below a symbolic link; nothing was removed/,
         'so is a record below a symbolic link');
    (unlink("$tree/install") && rename("$tree/real", "$tree/install")) or die;

  SKIP: {
        skip 'files cannot be made immutable here', 4
          unless $> == 0 && system("chattr +i '$tree/lib/ryndemo/group1' 2>/dev/null") == 0;
        ($code, $out, $err) = run_kit("$tree/bin/rynuninst", [], env => \%env);
        system('chattr', '-i', "$tree/lib/ryndemo/group1");
        is($code, 1, 'files that cannot be removed fail the uninstallation');
        like($err, qr/cannot remove .*\n.*not complete; run it again/s, 'which says so');
        ok(-e $record && defined registry_entry(%env), 'keeping the record and the entry');
        ($code, $out, $err) = run_kit("$tree/bin/rynuninst", [], env => \%env);
        is($code, 0, 'a second run finishes') or diag($err);
    }

    my $moved = "$dir/moved";
    run_kit("$kit/ryninst", ['--target', $tree, '--yes'], env => \%env) if !-e $tree;
    rename($tree, $moved) or die;
    ($code, $out, $err) = run_kit("$moved/bin/rynuninst", [], env => \%env);
    is($code, 0, 'a moved tree is uninstalled from where it is') or diag($err);
    ok(!-e $moved && !defined registry_entry(%env), 'with its registry entry');
};

finish();
