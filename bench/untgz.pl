#!/usr/bin/perl
# Extraction of an installation archive with KALDOR::Install::Untgz beside
# GNU tar, on a generated tar.gz of more than 500 MB: thousands of small
# files and some large ones, half compressible text and half random bytes.
#
#   perl -Ibench/lib bench/untgz.pl KIT
#
# Prints, from one run: a Perl loop of Next/ExtractFile against
# `tar -xzf` into the same filesystem; a test run into an empty directory
# against `tar -tzf`; a test run over the extracted tree against
# `tar --compare`; and the peak memory of the extracting process.
use strict;
use warnings;
use File::Path qw(make_path remove_tree);
use Bench qw(best_time compare temp_dir);

my $kit = shift or die "usage: $0 KIT\n";
my $runs = $ENV{BENCH_RUNS} || 3;
my $work = temp_dir();

sub write_bytes {
    my ($path, $bytes) = @_;
    open(my $out, '>:raw', $path) or die "$path: $!\n";
    print {$out} $bytes;
    close $out or die "$path: $!\n";
}

# Word-like text: random slices of a pool of words from a small vocabulary.
my @words = map { join '', map { ('a' .. 'z')[rand 26] } 1 .. 3 + int(rand 7) } 1 .. 3000;
my $pool = '';
$pool .= $words[rand @words] . (rand() < 0.1 ? "\n" : ' ') while length $pool < (1 << 20);
sub text_bytes {
    my ($size) = @_;
    my $text = '';
    $text .= substr($pool, int(rand(length($pool) - 4096)), 4096) while length $text < $size;
    return substr($text, 0, $size);
}

open(my $random, '<:raw', '/dev/urandom') or die "/dev/urandom: $!\n";
sub random_bytes {
    my ($size) = @_;
    read($random, my $bytes, $size) == $size or die "short read of /dev/urandom\n";
    return $bytes;
}

my $tree = "$work/tree";
my $total = 0;
for my $i (0 .. 3999) {
    my $dir = sprintf '%s/pkg%02d/sub%d', $tree, $i % 50, $i % 7;
    make_path($dir);
    my $size = 1024 + int(rand(31 * 1024));
    write_bytes("$dir/file$i" . ($i % 2 ? '.bin' : '.txt'),
                $i % 2 ? random_bytes($size) : text_bytes($size));
    $total += $size;
}
make_path("$tree/large");
for my $i (0 .. 11) {
    my $size = 36 * 1024 * 1024 + int(rand(8 * 1024 * 1024));
    write_bytes("$tree/large/data$i", $i % 2 ? random_bytes($size) : text_bytes($size));
    $total += $size;
}
my $archive = "$work/bench.tgz";
system('tar', '-C', $tree, '-czf', $archive, '.') == 0 or die "tar -czf failed\n";
remove_tree($tree);
printf "archive: %d files, %.0f MB of data, %.0f MB compressed\n", 4012, $total / 2**20,
  (-s $archive) / 2**20;

my $script = "$work/extract.pl";
write_bytes($script, <<'PL');
my ($archive, $dest, $test_run, $memory) = @ARGV;
bootstrap KALDOR::Install::Untgz;
my $u = KALDOR::Install::Untgz::new();
$u->Open($archive, $test_run) == 0 or die join("\n", $u->GetErr()), "\n";
$u->SetDestDir($dest);
while (defined $u->Next()) {
    $u->ExtractFile() == 0 or die join("\n", $u->GetErr()), "\n";
}
die join("\n", $u->GetErr()), "\n" if $u->GetErr();
if (open(my $status, '<', '/proc/self/status')) {
    my ($peak) = grep { /^VmHWM/ } <$status>;
    if (open(my $out, '>>', $memory)) { print {$out} $peak }
}
0;
PL

my $memory = "$work/memory";
sub ours {
    my ($dest, $test_run) = @_;
    return ["$kit/ryninst", '--script', $script, $archive, $dest, $test_run, $memory];
}

# Alternates the two commands, each run on a fresh (or prepared) directory
# after the page cache's dirty data is written out, and keeps the best
# times.
sub side_by_side {
    my (%c) = @_;
    my ($ours, $peer);
    for (1 .. $runs) {
        for my $side (['ours', $c{ours}], ['peer', $c{peer}]) {
            $c{prepare}->() if $c{prepare};
            system('sync');
            my $t = best_time(1, $side->[1]);
            if ($side->[0] eq 'ours') { $ours = $t if !defined $ours || $t < $ours }
            else { $peer = $t if !defined $peer || $t < $peer }
        }
    }
    compare(what => $c{what}, ours_time => $ours, peer => $c{peer_name}, peer_time => $peer,
            target => $c{target});
}

my $ours_dir = "$work/ours";
my $peer_dir = "$work/peer";
my $fresh = sub { remove_tree($ours_dir, $peer_dir); make_path($ours_dir, $peer_dir) };

side_by_side(what => 'untgz: extract (Next/ExtractFile loop)', ours => ours($ours_dir, 0),
             peer_name => 'tar -xzf', peer => ['tar', '-C', $peer_dir, '-xzf', $archive],
             prepare => $fresh, target => 1.0);
open(my $peaks, '<', $memory) or die "no memory figures\n";
my ($peak) = sort { $b <=> $a } map { /(\d+)/ ? $1 : () } <$peaks>;
printf "untgz: peak resident memory of the extracting process: %d kB\n", $peak;

side_by_side(what => 'untgz: test run into an empty directory', ours => ours($ours_dir, 1),
             peer_name => 'tar -tzf', peer => ['tar', '-tzf', $archive], prepare => $fresh);

system('tar', '-C', $ours_dir, '-xzf', $archive) == 0 or die "tar -xzf failed\n";
side_by_side(what => 'untgz: test run over the extracted tree', ours => ours($ours_dir, 1),
             peer_name => 'tar --compare',
             peer => ['tar', '-C', $ours_dir, '--compare', '-zf', $archive]);
remove_tree($work);
