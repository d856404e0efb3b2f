# Writing a tar archive of the system's Perl library (about 1,400 files)
# with KALDOR::Install::GnuTar's Add, beside GNU tar writing the same tree:
# gzip at level 9 in the process against `tar -czf` with GZIP=-9, and zstd
# as the external compressor against `tar --zstd -cf`. Our script times
# itself from OpenArchive to the end of CloseArchive (an installer writes
# archives from a running interpreter), GNU tar is timed as a whole
# process; a second line shows our whole process, the runtime's start-up
# included. The best of BENCH_RUNS (3) runs counts. With LMX_BENCH_BIG=1
# it also writes a tree with one 256 MiB file and checks with `diff -r`
# that GNU tar extracts it unchanged.
use strict;
use warnings;
use Cwd qw(realpath);
use Bench qw(best_time best_self_time compare temp_dir perl_inc);

my $kit = shift or die "usage: $0 KIT\n";
my $runs = $ENV{BENCH_RUNS} || 3;
my $dir = temp_dir();
my $inc = perl_inc();
require Config;
my $tree = realpath($Config::Config{privlib});

sub write_script {
    my ($name, $text) = @_;
    open(my $fh, '>', "$dir/$name") or die "$dir/$name: $!\n";
    print {$fh} $text;
    close $fh or die;
    return "$dir/$name";
}

# Adds every entry of the working directory under its relative path.
my $script = write_script('pack.pl', <<'PL');
use File::Find qw(find);
use Time::HiRes qw(time);
my ($tree, $archive, @compressor) = @ARGV;
my $start = time;
bootstrap KALDOR::Install::GnuTar;
chdir $tree or die "$tree: $!\n";
my $tar = KALDOR::Install::GnuTar->new;
$tar->setCompressor($compressor[0], [@compressor[1 .. $#compressor]]) if @compressor;
$tar->OpenArchive($archive, 'w') == 0 or die "cannot open $archive\n";
my $failed = 0;
find({ no_chdir => 1,
       wanted => sub { $failed++ if $_ ne '.' && !defined $tar->Add(substr($_, 2)) } }, '.');
defined $tar->CloseArchive or die "CloseArchive failed\n";
print time - $start, "\n";
$failed ? 1 : 0;
PL

sub pack_with_add { return ["$kit/ryninst", '--script', $script, @_, '--inc', $inc] }

my $files = () = `find '$tree'`;
`tar -C '$tree' -cf /dev/null .`;    # the tree into the page cache
printf "tree: %s, %d entries\n", $tree, $files;

# One comparison: ours timed by itself and as a whole process, beside the
# peer's whole process, the three taking turns so that a busy moment of
# the machine does not favour one of them.
sub side_by_side {
    my ($what, $ours, $peer_name, $peer) = @_;
    my ($self, $whole, $peer_time);
    my $min = sub { my ($best, $t) = @_; return defined $best && $best < $t ? $best : $t };
    for (1 .. $runs) {
        $self = $min->($self, best_self_time(1, map { "'$_'" } @$ours));
        $whole = $min->($whole, best_time(1, $ours));
        $peer_time = $min->($peer_time, best_time(1, $peer));
    }
    compare(what => $what, ours_time => $self, peer => $peer_name, peer_time => $peer_time,
            target => 1.1);
    compare(what => "$what (whole process)", ours_time => $whole, peer => $peer_name,
            peer_time => $peer_time);
}

my $ours_gz = "$dir/ours.tgz";
my $peer_gz = "$dir/peer.tgz";
$ENV{GZIP} = '-9';
side_by_side('GnuTar Add, gzip -9 in the process', pack_with_add($tree, $ours_gz),
             'tar -czf (GZIP=-9)', ['tar', '-C', $tree, '-czf', $peer_gz, '.']);
delete $ENV{GZIP};
printf "sizes: ours %d bytes, tar %d bytes\n", -s $ours_gz, -s $peer_gz;

my $ours_zst = "$dir/ours.tzst";
side_by_side('GnuTar Add, zstd -c as external compressor',
             pack_with_add($tree, $ours_zst, 'zstd', '-c', '-q'), 'tar --zstd -cf',
             ['tar', '-C', $tree, '--zstd', '-cf', "$dir/peer.tzst", '.']);
system('tar', '-C', $tree, '--zstd', '--compare', '-f', $ours_zst) == 0
  or die "tar --compare found differences in our zstd archive\n";

if ($ENV{LMX_BENCH_BIG}) {
    my $big = "$dir/big";
    mkdir $big or die;
    system('cp', '-a', $tree, "$big/perl") == 0 or die;
    system('head -c 256M /dev/urandom > ' . "'$big/large.bin'") == 0 or die;
    my $t = best_self_time(1, map { "'$_'" } @{ pack_with_add($big, "$dir/big.tgz") });
    my $out = "$dir/big-out";
    mkdir $out or die;
    system('tar', '-C', $out, '-xzf', "$dir/big.tgz") == 0 or die "tar -xzf failed\n";
    system('diff', '-r', '--no-dereference', $big, $out) == 0 or die "the 256 MiB tree differs\n";
    printf "GnuTar Add of a tree with a 256 MiB file: %.2f s, extracted by tar unchanged\n", $t;
}
