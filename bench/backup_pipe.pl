# Throughput of 1 GiB through KALDOR::Install::BackupPipe to a reader
# `cat FIFO > /dev/null`, beside `cat FILE | cat > /dev/null` of a 1 GiB
# file in the page cache (sparse, so that nothing waits for the disk). Our
# script writes 1 MiB strings: once a string held in memory (the pipe's
# own throughput, the target line) and once each piece read from the same
# file with sysread (the interpreter's read loop included). It times
# itself from Open until the reader has ended; the peer's pipeline is
# timed whole. Target: at least 0.9 of the peer's throughput, that is a
# time ratio of at most 1.11.
use strict;
use warnings;
use Bench qw(best_time best_self_time compare temp_dir perl_inc);

my $kit = shift or die "usage: $0 KIT\n";
my $runs = $ENV{BENCH_RUNS} || 3;
my $dir = temp_dir();
my $inc = perl_inc();
my $size = 1 << 30;
my $file = "$dir/data";
system('truncate', '-s', $size, $file) == 0 or die "truncate failed\n";

my $script = "$dir/stream.pl";
open(my $fh, '>', $script) or die;
print {$fh} <<'PL';
use Time::HiRes qw(time);
my ($file, $pipe_dir, $source) = @ARGV;
$ENV{LMX_PIPE_DIR} = $pipe_dir;
bootstrap KALDOR::Install::BackupPipe;
open(my $in, '<:raw', $file) or die "$file: $!\n";
my $start = time;
my $p = KALDOR::Install::BackupPipe->new('\\\\.\\pipe\\bench', 'w');
$p->Open == 1 or die "Open failed\n";
my $reader = fork();
if ($reader == 0) { exec('sh', '-c', "cat '$pipe_dir/bench' > /dev/null"); exit 127 }
$p->Select(10) == 1 or die "no reader\n";
my $total = 0;
my $piece = substr('backup data ' x (1 << 17), 0, 1 << 20);
if ($source eq 'file') {
    while (my $n = sysread($in, my $chunk, 1 << 20)) {
        $p->Write($chunk, $n) == $n or die "Write failed\n";
        $total += $n;
    }
} else {
    while ($total < -s $file) {
        $p->Write($piece, 1 << 20) == 1 << 20 or die "Write failed\n";
        $total += 1 << 20;
    }
}
$p->Close;
waitpid($reader, 0);
die "wrote $total bytes\n" unless $total == -s $file;
print time - $start, "\n";
0;
PL
close $fh or die;

mkdir "$dir/pipes" or die;
sub ours {
    my ($source) = @_;
    return best_self_time(1, "'$kit/ryninst'", '--script', $script, $file, "$dir/pipes",
                          $source, '--inc', "'$inc'");
}
# The three take turns, so that a busy moment of the machine does not
# favour one of them; the best run of each counts.
my %best;
for (1 .. $runs) {
    my %time = (peer => best_time(1, ['sh', '-c', "cat '$file' | cat > /dev/null"]),
                memory => ours('memory'), file => ours('file'));
    $best{$_} = $time{$_} for grep { !defined $best{$_} || $time{$_} < $best{$_} } keys %time;
}
for my $source ('memory', 'file') {
    compare(what => "BackupPipe: 1 GiB from $source to cat > /dev/null",
            ours_time => $best{$source}, peer => 'cat file | cat > /dev/null',
            peer_time => $best{peer}, target => $source eq 'memory' ? 1 / 0.9 : undef);
    printf "  throughput: ours %.0f MiB/s, peer %.0f MiB/s (%.2f of the peer's)\n",
      1024 / $best{$source}, 1024 / $best{peer}, $best{peer} / $best{$source};
}
