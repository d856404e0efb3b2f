# MD5 sums: MD5Sum of a 512 MiB file against md5sum (whole processes, the
# runtime's start-up included), and MD5Str over 1 MiB strings against
# Digest::MD5 in the same interpreter.
use strict;
use warnings;
use Bench qw(best_time compare temp_dir perl_inc);

my $kit = shift or die "usage: md5sum.pl KIT\n";
my $dir = temp_dir();
my $inc = perl_inc();

# 512 MiB of pseudo-random data, written in 1 MiB blocks.
my $file = "$dir/big.bin";
open(my $out, '>:raw', $file) or die "$file: $!\n";
srand(5);
my $block = pack('N*', map { int rand 2**32 } 1 .. 262144);
for my $i (1 .. 512) {
    substr($block, 0, 4) = pack('N', $i);
    print {$out} $block;
}
close $out or die "$file: $!\n";

sub write_script {
    my ($name, $text) = @_;
    open(my $fh, '>', "$dir/$name") or die "$dir/$name: $!\n";
    print {$fh} $text;
    close $fh;
    return "$dir/$name";
}

my $sum_script = write_script('sum.pl', <<"PL");
bootstrap KALDOR::Install::MD5Sum;
my \$digest = KALDOR::Install::MD5Sum::MD5Sum('$file');
print "\$digest\\n";
\$digest ? 0 : 1;
PL

my ($expected) = split ' ', `md5sum '$file'`;    # also warms the page cache
my ($ours) = `'$kit/ryninst' --script '$sum_script'` =~ /^(\w+)/;
die "MD5Sum gave ", $ours // 'nothing', ", md5sum $expected\n" unless ($ours // '') eq $expected;

my $ours_time = best_time(5, ["$kit/ryninst", '--script', $sum_script]);
my $peer_time = best_time(5, ['md5sum', $file]);
compare(what => 'MD5Sum, 512 MiB file (process)', ours_time => $ours_time,
        peer => 'md5sum', peer_time => $peer_time, target => 1.05);
unlink $file;

my $str_script = write_script('str.pl', <<'PL');
use Time::HiRes qw(time);
use Digest::MD5 qw(md5_hex);
bootstrap KALDOR::Install::MD5Sum;
srand(7);
my @strings = map { my $s = pack('N*', map { int rand 2**32 } 1 .. 262144); $s } 1 .. 16;
my $rounds = 16;
for my $s (@strings) {
    die "digests differ\n" unless KALDOR::Install::MD5Sum::MD5Str($s, length $s) eq md5_hex($s);
}
sub best {
    my ($code) = @_;
    my $best;
    for (1 .. 3) {
        my $start = time;
        $code->();
        my $t = time - $start;
        $best = $t if !defined $best || $t < $best;
    }
    return $best;
}
my $ours = best(sub { for (1 .. $rounds) { KALDOR::Install::MD5Sum::MD5Str($_, length $_) for @strings } });
my $peer = best(sub { for (1 .. $rounds) { md5_hex($_) for @strings } });
print "ours $ours\npeer $peer\n";
0;
PL
my %t = `'$kit/ryninst' --script '$str_script' --inc '$inc'` =~ /^(ours|peer) (\S+)$/mg;
die "the MD5Str benchmark failed\n" unless defined $t{ours} && defined $t{peer};
compare(what => 'MD5Str, 256 strings of 1 MiB', ours_time => $t{ours},
        peer => 'Digest::MD5 md5_hex', peer_time => $t{peer});
