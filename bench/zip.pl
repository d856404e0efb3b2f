#!/usr/bin/perl
# The zip modules beside Info-ZIP, on a zip of the system's Perl library
# (about 1,400 files):
#
#   perl -Ibench/lib bench/zip.pl KIT
#
# Prints, from one run: reading every entry with LMX::Common::Archive::Zip
# (open by name, read) against `unzip -p` to /dev/null; writing the same
# files with KALDOR::Install::Jar Add against `zip -q -r`; and the lookup by
# name of the last of 10,000 entries, first (the directory is walked once)
# and then per lookup in microseconds, beside Python's zipfile.
use strict;
use warnings;
use Bench qw(best_time best_self_time compare temp_dir perl_inc);

my $kit = shift or die "usage: $0 KIT\n";
my $runs = $ENV{BENCH_RUNS} || 5;
my $work = temp_dir();
my $library = '/usr/share/perl/5.36';
-d $library or die "no Perl library at $library\n";

sub write_text {
    my ($path, $text) = @_;
    open(my $out, '>', $path) or die "$path: $!\n";
    print {$out} $text;
    close $out or die "$path: $!\n";
    return $path;
}

my $archive = "$work/perl.zip";
system("cd '$library/' && zip -q -r '$archive' .") == 0 or die "zip failed\n";
my @names = `zipinfo -1 '$archive'`;
chomp @names;
my $names = write_text("$work/names", join("\n", @names) . "\n");
my @files = grep { !m{/$} } @names;
my $files = write_text("$work/files", join("\n", @files) . "\n");
printf "zip: %d entries, %.1f MB of data, %.1f MB compressed\n", scalar @names,
  (split ' ', `unzip -l '$archive' | tail -1`)[0] / 2**20, (-s $archive) / 2**20;

my $read = write_text("$work/read.pl", <<'PL');
my ($archive, $names) = @ARGV;
bootstrap LMX::Common::Archive::Zip;
my $zip = LMX::Common::Archive::Zip->new($archive) or die "cannot open $archive\n";
open(my $list, '<', $names) or die;
while (my $name = <$list>) {
    chomp $name;
    my $member = $zip->open($name) or die "cannot open $name\n";
    defined $member->read or die "cannot read $name\n";
    $member->close == 0 or die "bad entry $name\n";
}
0;
PL
compare(what => 'zip: read every entry (open by name, read)',
        ours_time => best_time($runs, ["$kit/ryninst", '--script', $read, $archive, $names]),
        peer => 'unzip -p > /dev/null', peer_time => best_time($runs, ['unzip', '-p', $archive]),
        target => 1.2);

my $write = write_text("$work/write.pl", <<'PL');
my ($out, $files, $dir) = @ARGV;
bootstrap KALDOR::Install::Jar;
chdir $dir or die;
my $jar = KALDOR::Install::Jar->new();
$jar->OpenArchive($out, 'w') == 0 or die "cannot create $out\n";
open(my $list, '<', $files) or die;
while (my $file = <$list>) {
    chomp $file;
    $jar->Add($file) == 0 or die "cannot add $file\n";
}
$jar->CloseArchive() == 0 ? 0 : 1;
PL
my ($ours_out, $peer_out) = ("$work/ours.zip", "$work/peer.zip");
my ($ours, $peer);
for (1 .. $runs) {
    unlink $ours_out, $peer_out;
    my $t = best_time(1, ["$kit/ryninst", '--script', $write, $ours_out, $files, "$library/"]);
    $ours = $t if !defined $ours || $t < $ours;
    $t = best_time(1, sub { system("cd '$library/' && zip -q -r '$peer_out' .") == 0 or die });
    $peer = $t if !defined $peer || $t < $peer;
}
system('unzip', '-tqq', $ours_out) == 0 or die "the written archive fails unzip -t\n";
compare(what => 'zip: write the same files (Jar Add)', ours_time => $ours, peer => 'zip -q -r',
        peer_time => $peer, target => 1.2);

# 10,000 entries; the last one looked up.
my $many = "$work/many.zip";
my $maker = write_text("$work/many.py", <<'PY');
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for i in range(10000):
        z.writestr("pkg/dir%02d/file%05d.pm" % (i % 100, i), "%d\n" % i)
PY
system('python3', $maker, $many) == 0 or die "python failed\n";
my $last = 'pkg/dir99/file09999.pm';
my $lookup = write_text("$work/lookup.pl", <<'PL');
use Time::HiRes qw(time);
my ($archive, $name, $what) = @ARGV;
bootstrap LMX::Common::Archive::Zip;
my $zip = LMX::Common::Archive::Zip->new($archive);
my $t = time;
$zip->open($name) or die;
my $first = time - $t;
my $n = 20000;
$t = time;
$zip->open($name) for 1 .. $n;
print $what eq 'first' ? $first : (time - $t) / $n * 1e6, "\n";
0;
PL
my $python_lookup = write_text("$work/lookup.py", <<'PY');
import sys, time, zipfile
archive, name, what = sys.argv[1:4]
t = time.time()
z = zipfile.ZipFile(archive)
z.open(name).close()
first = time.time() - t
n = 20000
t = time.time()
for _ in range(n):
    z.open(name).close()
print(first if what == "first" else (time.time() - t) / n * 1e6)
PY
my @ours = ("$kit/ryninst", '--inc', perl_inc(), '--script', $lookup, $many, $last);
compare(what => 'zip: first lookup of the last of 10,000 entries (s)',
        ours_time => best_self_time($runs, @ours, 'first'), peer => 'python zipfile open+lookup',
        peer_time => best_self_time($runs, 'python3', $python_lookup, $many, $last, 'first'));
my ($each, $python_each) = (best_self_time($runs, @ours, 'each'),
                            best_self_time($runs, 'python3', $python_lookup, $many, $last, 'each'));
printf "zip: each later lookup of the last of 10,000 entries: %.2f us (open of a member; " .
  "python zipfile open: %.2f us)\n", $each, $python_each;
