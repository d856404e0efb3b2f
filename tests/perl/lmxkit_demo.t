# A one-file installer of the demo made with lmxkit --onefile --portable
# installs the demo product where the host's Perl library and libperl.so are
# hidden; the installed program and uninstaller run there too.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir);
use LmxTest::Kit qw(lmxkit hiding_namespace hidden);

my $demo_installer = "$ENV{LMX_TEST_SOURCE}/examples/demo/installer";
my $demo_payload = kit() . '/../demo-payload';
plan(skip_all => 'no private mount namespace: unshare -m is not permitted here')
  unless hiding_namespace();
plan(skip_all => 'no demo installer in this tree') unless -d $demo_installer && -d $demo_payload;

my $dir = temp_dir();
my $target = "$dir/demo target";
my ($code, $out, $err) = lmxkit(['--onefile', "$dir/demo-setup", '--portable', $demo_installer,
                                 $demo_payload]);
is($code, 0, 'lmxkit makes the demo\'s one-file installer') or diag($err);
local $ENV{LMX_STORE_DIR} = temp_dir();
($code, $out, $err) = hidden("$dir/demo-setup", '--target', $target, '--yes');
is($code, 0, 'it installs the demo product') or diag($err);
like($out, qr/is installed in \Q$target\E\./, 'and says so');
($code, $out) = hidden("$target/bin/ryndemo");
like($out, qr/^Hello from Ryn Demo/, 'the installed program runs');
($code, $out, $err) = hidden("$target/bin/rynuninst");
is($code, 0, 'the installed uninstaller runs from the installed runtime') or diag($err);
ok(!-e $target, 'and removes the product');

finish();
