# File magic: KALDOR::Install::BuildInfo::GetMagicString over every regular
# file of /usr/bin (symbolic links left out, so both sides read the same
# bytes) against `file -b` over the same files, each as one whole process
# (the runtime's start-up included), reported as files per second.
#
#   perl -Ibench/lib bench/file_magic.pl KIT
use strict;
use warnings;
use Bench qw(best_time compare temp_dir);

my $kit = shift or die "usage: $0 KIT\n";
my $runs = $ENV{BENCH_RUNS} || 5;
my $dir = temp_dir();
my $bin = $ENV{BENCH_MAGIC_DIR} || '/usr/bin';

opendir(my $dh, $bin) or die "$bin: $!\n";
my @files = sort grep { -f && !-l } map { "$bin/$_" } readdir $dh;
closedir $dh;
die "no files in $bin\n" unless @files;

open(my $list, '>', "$dir/files") or die "$dir/files: $!\n";
print {$list} map { "$_\n" } @files;
close $list;

open(my $script, '>', "$dir/magic.pl") or die "$dir/magic.pl: $!\n";
print {$script} <<"PL";
bootstrap KALDOR::Install::BuildInfo;
open(my \$in, '<', '$dir/files') or die "files: \$!\\n";
my (\$count, \$unknown) = (0, 0);
while (my \$path = <\$in>) {
    chomp \$path;
    my \$magic = KALDOR::Install::BuildInfo::GetMagicString(\$path);
    \$count++ if defined \$magic;
    \$unknown++ if defined \$magic && \$magic eq 'unknown magic';
}
print "\$count \$unknown\\n";
0;
PL
close $script;

my $out = `'$kit/ryninst' --script '$dir/magic.pl'`;    # also warms the page cache
my ($count, $unknown) = $out =~ /^(\d+) (\d+)$/m or die "the magic script failed: $out\n";
die "GetMagicString read $count of ", scalar @files, " files\n" unless $count == @files;
system("file -b @files >/dev/null") == 0 or die "file -b failed\n";

my $ours = best_time($runs, ["$kit/ryninst", '--script', "$dir/magic.pl"]);
my $peer = best_time($runs, ['file', '-b', @files]);
compare(what => sprintf('GetMagicString, %d files of %s (process)', scalar @files, $bin),
        ours_time => $ours, peer => 'file -b', peer_time => $peer, target => 0.5);
printf "%-58s %9.0f files/s | %-28s %9.0f files/s | %d of ours unknown magic\n",
  'GetMagicString', @files / $ours, 'file -b', @files / $peer, $unknown;
