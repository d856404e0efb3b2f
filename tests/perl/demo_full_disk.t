# The demo installer on a small filesystem (a tmpfs in a private mount
# namespace of this test): one too small for the product is refused after
# the test run, one whose inodes run out half way fills up during the
# extraction; both leave the target exactly as it was.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit write_file);
use LmxTest::Demo qw(store_env tree_state registry_entry);

my $SYS_unshare = 272;          # x86-64
my $CLONE_NEWNS = 0x00020000;
my $mount = temp_dir();

# A private mount namespace for this process and its children, so that the
# mounts below vanish with it.
sub private_mounts {
    return "unshare(CLONE_NEWNS) failed: $!" if syscall($SYS_unshare, $CLONE_NEWNS) != 0;
    return 'cannot make the mounts private'
      if system('mount', '--make-rprivate', '/') != 0;
    return '';
}

sub mount_tmpfs {
    my ($options) = @_;
    system('umount', $mount) if `findmnt -n '$mount'`;
    system('mount', '-t', 'tmpfs', '-o', $options, 'tmpfs', $mount) == 0
      or die "cannot mount a tmpfs on $mount\n";
}

# Installs into a target on the tmpfs that holds a file of the user's;
# returns (exit code, standard error, whether the target is as before).
sub install_on_tmpfs {
    my ($options) = @_;
    mount_tmpfs($options);
    my $target = "$mount/product";
    write_file("$target/mine.txt", "the user's\n");
    my $before = tree_state($target);
    my %env = store_env();
    my ($code, $out, $err) = run_kit(kit() . '/ryninst', ['--target', $target, '--yes'], env => \%env);
    return ($code, $out . $err, tree_state($target) eq $before && !defined registry_entry(%env));
}

SKIP: {
    my $why = $^O eq 'linux' && `uname -m` =~ /x86_64/ ? private_mounts() : 'not Linux on x86-64';
    $why ||= 'cannot mount a tmpfs' unless eval { mount_tmpfs('size=1m'); 1 };
    skip "no small filesystem for the test: $why", 2 if $why;

    subtest 'too small' => sub {
        my ($code, $out, $same) = install_on_tmpfs('size=2m');
        is($code, 1, 'ryninst fails');
        like($out, qr/^space: +\Q$mount\E needs [\d.]+ MB, [\d.]+ [kM]B free$/m, 'shows the space');
        like($out, qr/installation failed: not enough space on \Q$mount\E: the installation needs/,
             'and refuses');
        unlike($out, qr/^extract/m, 'before the extraction');
        ok($same, 'the target is exactly as it was, no registry entry');
    };

    subtest 'filled up during the extraction' => sub {
        # Inodes for the tmpfs's root, the target, the user's file, the lock,
        # the payload's directories and the test run's probe, then half the
        # payload's files.
        my @listing = `tar -tzf '${\ kit()}/PAYLOAD.TGZ'`;
        my $dirs = grep { m{/$} } @listing;
        my $inodes = 5 + $dirs + int((@listing - $dirs) / 2);
        my ($code, $out, $same) = install_on_tmpfs("size=256m,nr_inodes=$inodes");
        is($code, 1, 'ryninst fails');
        like($out, qr/installation failed: cannot extract \S+: cannot open \S+ for writing: No space left on device/,
             'because the filesystem is full');
        like($out, qr/^test run: .* every file can be written$/m, 'after a test run that passed');
        ok($same, 'the target is exactly as it was, no registry entry');
    };
}

system('umount', $mount) if `findmnt -n '$mount' 2>/dev/null`;
finish();
