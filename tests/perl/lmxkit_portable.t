# A one-file installer made with lmxkit --onefile --portable runs where the
# host's Perl library and libperl.so are hidden (a private mount namespace
# covers them), while the build's own kit cannot start there.
use strict;
use warnings;
use Test::More;
use Cwd ();
use LmxTest qw(finish kit temp_dir run_kit read_file write_file);
use LmxTest::Kit qw(sample_installer lmxkit);

my $dir = temp_dir();

# The host's Perl: its library directories and the files behind libperl.so*.
my @perl_dirs = grep { -d } qw(/usr/share/perl /usr/share/perl5 /usr/lib/x86_64-linux-gnu/perl
                               /usr/lib/x86_64-linux-gnu/perl5 /usr/lib/x86_64-linux-gnu/perl-base);
my %library_files = map { my $f = readlink($_) ? Cwd::abs_path($_) : $_; ($f => 1) }
  glob('/usr/lib/x86_64-linux-gnu/libperl.so*');
my $hide = write_file("$dir/hide.sh", join('', "set -e\n",
    (map { "mount -t tmpfs tmpfs $_\n" } @perl_dirs),
    (map { "mount --bind /dev/null $_\n" } sort keys %library_files), "exec \"\$@\"\n"));

# A private mount namespace: as root, or else in a user namespace of our own.
my @unshare = grep { system("unshare @$_ true 2>/dev/null") == 0 } ['-m'], ['-r', '-m'];
plan(skip_all => 'no private mount namespace: unshare -m is not permitted here') unless @unshare;

# Runs a program with the host's Perl hidden.
sub hidden {
    my ($program, @args) = @_;
    return run_kit('unshare', [@{ $unshare[0] }, 'sh', $hide, $program, @args]);
}

my ($modules, $payload) = sample_installer($dir);
my ($code, $out, $err) = lmxkit(['--onefile', "$dir/setup.run", '--portable', $modules, $payload,
                                 '--', '--target', "$dir/trace-target"]);
is($code, 0, 'lmxkit --onefile --portable succeeds') or diag($err);
like($out, qr{^lmxkit: \Q$dir\E/setup.run: .* [1-9]\d* libraries$}m, 'with libraries');
my @listed = `zipinfo -1 '$dir/setup.run' 2>/dev/null`;
chomp @listed;
my %listed = map { $_ => 1 } @listed;
is_deeply([grep { !$listed{$_} } 'libperl.so.5.36', 'lmxrun.so', 'ryninst', 'auto\\POSIX\\POSIX.so'],
          [], 'the one file holds the Perl library and the extension modules');

($code, $out, $err) = hidden(kit() . '/ryninst', '--script', '/dev/null');
isnt($code, 0, 'with the host\'s Perl hidden, the build\'s kit cannot start');
($code) = hidden('/usr/bin/perl', '-MPOSIX', '-e', '1');
isnt($code, 0, 'nor can the host\'s perl load POSIX');

($code, $out, $err) = hidden("$dir/setup.run", '--target', "$dir/target");
is($code, 0, 'the one-file installer runs') or diag($err);
like($out, qr/^1\.\.8$/m, 'all the installer\'s checks ran');
unlike($out, qr/^not ok/m, 'and passed');
is(read_file("$dir/target/bin/tool"), "#!/bin/sh\necho tool ran\n", 'the payload is installed');

# The demo product, installed, run and uninstalled by a one-file portable
# build of the demo installer with the host's Perl hidden.
my $demo_installer = "$ENV{LMX_TEST_SOURCE}/examples/demo/installer";
my $demo_payload = kit() . '/../demo-payload';
SKIP: {
    skip('no demo installer in this tree', 6) unless -d $demo_installer && -d $demo_payload;
    my $store = temp_dir();
    my $target = "$dir/demo target";
    ($code, $out, $err) = lmxkit(['--onefile', "$dir/demo-setup", '--portable', $demo_installer,
                                  $demo_payload]);
    is($code, 0, 'lmxkit makes the demo\'s one-file installer') or diag($err);
    local $ENV{LMX_STORE_DIR} = $store;
    ($code, $out, $err) = hidden("$dir/demo-setup", '--target', $target, '--yes');
    is($code, 0, 'it installs the demo product') or diag($err);
    like($out, qr/is installed in \Q$target\E\./, 'and says so');
    ($code, $out) = hidden("$target/bin/ryndemo");
    like($out, qr/^Hello from Ryn Demo/, 'the installed program runs');
    ($code, $out, $err) = hidden("$target/bin/rynuninst");
    is($code, 0, 'the installed uninstaller runs from the installed runtime') or diag($err);
    ok(!-e $target, 'and removes the product');
}

finish();
