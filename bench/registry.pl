# The registry over the system store, beside plain SQLite in the same run:
# 100,000 RegSetValueExA into one key and 100,000 RegQueryValueExA, against
# as many prepared INSERTs and SELECTs, one transaction per call, with the
# same settings (WAL, synchronous=NORMAL); opening a key 10 levels deep
# against the same 10 lookups. The two sides alternate in slices of the
# work, so that both meet the same load. Then the same calls through the
# Perl module (KALDOR::Install::System::Win32::Registry), beside the layer.
use strict;
use warnings;
use Bench qw(compare temp_dir perl_inc);

my $kit = shift or die "usage: registry.pl KIT\n";
my $native = "$kit/../bench/registry_bench";
die "$native is missing (make build)\n" unless -x $native;
my $count = 100_000;

my %t = do {
    local $ENV{LMX_STORE_DIR} = temp_dir();
    `'$native' $count` =~ /^(\w+) (\S+)$/mg;
};
die "the registry benchmark failed\n" unless defined $t{peer_open10};
sub rate { return sprintf('%.0f ops/s', $count / $_[0]) }
compare(what => "RegSetValueExA x $count, one key (" . rate($t{set}) . ')', ours_time => $t{set},
        peer => 'SQLite INSERT (' . rate($t{peer_set}) . ')', peer_time => $t{peer_set},
        target => 1.5);
compare(what => "RegQueryValueExA x $count (" . rate($t{query}) . ')', ours_time => $t{query},
        peer => 'SQLite SELECT (' . rate($t{peer_query}) . ')', peer_time => $t{peer_query},
        target => 1.5);
printf "%-58s %9.2f us | %-28s %9.2f us | ratio %.2f\n", 'RegOpenKeyExA, a key 10 levels deep',
  $t{open10} * 1e6, '10 SQLite lookups', $t{peer_open10} * 1e6, $t{open10} / $t{peer_open10};

# Through the Perl module, in the runtime.
my $dir = temp_dir();
my $script = "$dir/registry.pl";
open(my $fh, '>', $script) or die "$script: $!\n";
print {$fh} <<"PL";
use Time::HiRes ();
BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }
package KALDOR::Install::System::Win32::Registry;
my (\$key, \$disposition, \$type, \$data, \$size);
RegCreateKeyEx(HKEY_CURRENT_USER, 'Software\\\\Bench', 0, undef, 0, KEY_ALL_ACCESS, undef, \$key,
               \$disposition) == 0 or die "RegCreateKeyEx\\n";
my \$start = Time::HiRes::time();
for my \$i (1 .. $count) { RegSetValueEx(\$key, "value\$i", 0, REG_DWORD, \$i, 0) == 0 or die "set\\n" }
my \$set = Time::HiRes::time() - \$start;
\$start = Time::HiRes::time();
for my \$i (1 .. $count) { RegQueryValueEx(\$key, "value\$i", 0, \$type, \$data, \$size) == 0 or die "query\\n" }
my \$query = Time::HiRes::time() - \$start;
print "module_set \$set\\nmodule_query \$query\\n";
0;
PL
close $fh;
my %m = do {
    local $ENV{LMX_STORE_DIR} = temp_dir();
    `'$kit/ryninst' --script '$script' --inc '@{[perl_inc()]}'` =~ /^(\w+) (\S+)$/mg;
};
die "the module benchmark failed\n" unless defined $m{module_query};
compare(what => "RegSetValueEx x $count through Perl (" . rate($m{module_set}) . ')',
        ours_time => $m{module_set}, peer => 'the layer, above', peer_time => $t{set});
compare(what => "RegQueryValueEx x $count through Perl (" . rate($m{module_query}) . ')',
        ours_time => $m{module_query}, peer => 'the layer, above', peer_time => $t{query});
