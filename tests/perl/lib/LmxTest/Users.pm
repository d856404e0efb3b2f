package LmxTest::Users;

# Helpers of the tests that need other users: scripts run through the kit
# under another user id, and a host user of the test's own, made with the
# host's tools and removed when the test ends.
use strict;
use warnings;
use LmxTest qw(kit temp_dir write_file run_kit);
use Exporter 'import';

our @EXPORT_OK = qw(run_as make_test_user have_setpriv);

sub have_setpriv { return $> == 0 && system('setpriv --version >/dev/null 2>&1') == 0 }

# Runs Perl code through the kit's launcher as another user: `user` is a
# passwd name (with its own groups) or 'nobody' (no supplementary groups).
# Returns (exit code, stdout, stderr).
sub run_as {
    my ($user, $code, %env) = @_;
    my $dir = temp_dir();
    chmod 0755, $dir;
    my $script = write_file("$dir/script.pl", $code);
    chmod 0644, $script;
    my @ids = $user eq 'nobody'
      ? ('--reuid=nobody', '--regid=nogroup', '--clear-groups')
      : ("--reuid=$user", '--regid=nogroup', '--init-groups');
    return run_kit('/usr/bin/setpriv', [@ids, kit() . '/ryninst', '--script', $script],
                   cwd => '/', env => \%env);
}

my @made;
my $test_user;

# A host user in the group "sudo" (when the host has one) with a password,
# a comment and a home directory that does not exist, made once per test;
# undef with the reason when it cannot be made.
sub make_test_user {
    return $test_user if $test_user;
    return (undef, 'needs root') unless $> == 0;
    return (undef, 'useradd or chpasswd is missing')
      unless system('command -v useradd >/dev/null && command -v chpasswd >/dev/null') == 0;
    my $name = "lmxt$$";
    my $sudo = defined getgrnam('sudo');
    my @groups = $sudo ? ('-G', 'sudo') : ();
    system('useradd', '-M', '-N', '-g', 'nogroup', @groups, '-d', "/nonexistent-$name", '-s',
           '/usr/sbin/nologin', '-c', 'Lmx Test User', $name) == 0
      or return (undef, 'useradd failed');
    push @made, $name;
    open(my $pw, '|-', 'chpasswd') or return (undef, 'chpasswd failed');
    print {$pw} "$name:Test-Pass-1\n";
    close $pw or return (undef, 'chpasswd failed');
    return $test_user = {name => $name, password => 'Test-Pass-1', sudo => $sudo, comment => 'Lmx Test User',
             home => "/nonexistent-$name"};
}

END {
    local $?;
    system('userdel', $_) for @made;
}

1;
