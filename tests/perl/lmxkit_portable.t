# A one-file installer made with lmxkit --onefile --portable runs where the
# host's Perl library and libperl.so are hidden (a private mount namespace
# covers them), while the build's own kit cannot start there.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir read_file);
use LmxTest::Kit qw(sample_installer lmxkit hiding_namespace hidden);

plan(skip_all => 'no private mount namespace: unshare -m is not permitted here')
  unless hiding_namespace();
my $dir = temp_dir();

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

finish();
