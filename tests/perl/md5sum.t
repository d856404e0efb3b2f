# KALDOR::Install::MD5Sum: digests of strings and files, against md5sum and
# the system Perl's Digest::MD5.
use strict;
use warnings;
use Test::More;
use Digest::MD5 qw(md5_hex);
use LmxTest qw(finish temp_dir write_file);

bootstrap KALDOR::Install::MD5Sum;
*MD5Str = \&KALDOR::Install::MD5Sum::MD5Str;
*MD5Sum = \&KALDOR::Install::MD5Sum::MD5Sum;

my $dir = temp_dir();
my $empty_digest = 'd41d8cd98f00b204e9800998ecf8427e';

# md5sum's digests of files, in one run: path => digest.
sub md5sum_of {
    my (@paths) = @_;
    open(my $md5sum, '-|', 'md5sum', @paths) or die "md5sum: $!\n";
    my %digest = map { /^(\w+)  (.*)$/ ? ($2, $1) : () } <$md5sum>;
    close $md5sum;
    return @digest{@paths};
}

subtest 'the published test suite' => sub {
    my %suite = (
        '' => $empty_digest,
        'a' => '0cc175b9c0f1b6a831c399e269772661',
        'abc' => '900150983cd24fb0d6963f7d28e17f72',
        'message digest' => 'f96b697d7cb7938d525a2f31aaf161d0',
        'abcdefghijklmnopqrstuvwxyz' => 'c3fcd3d76192e4007dfb496cca67e13b',
        'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789' =>
          'd174ab98d277d9f5a5611c2c9f419d9f',
        '1234567890' x 8 => '57edf4a22be3c955ac49da2e2107b67a',
    );
    is(MD5Str($_), $suite{$_}, "MD5Str('$_')") for sort keys %suite;
};

my @sizes = (0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 2048, 3 * 1024 * 1024 + 17);
my %data;
for my $size (@sizes) {
    my $data = '';
    $data .= pack('N*', map { int rand 2**32 } 1 .. 1024) while length $data < $size;
    $data{$size} = substr($data, 0, $size);
}

subtest 'strings of many lengths agree with md5sum and Digest::MD5' => sub {
    my @files = map { write_file("$dir/data-$_", $data{$_}) } @sizes;
    my %expected;
    @expected{@sizes} = md5sum_of(@files);
    for my $size (@sizes) {
        my $data = $data{$size};
        my $file = "$dir/data-$size";
        my $expected = $expected{$size};
        is($expected, md5_hex($data), "the two oracles agree ($size bytes)");
        is(MD5Str($data, $size), $expected, "MD5Str with length, $size bytes");
        is(MD5Sum($file), $expected, "MD5Sum, $size bytes");
        (my $no_zero = $data) =~ tr/\0/\x01/;
        is(MD5Str($no_zero), md5_hex($no_zero), "MD5Str without length, $size bytes");
    }
};

subtest 'zero bytes and the length argument' => sub {
    my $text = "abc\0def";
    is(MD5Str($text), md5_hex('abc'), 'without a length: up to the first zero byte');
    is(MD5Str($text, 7), md5_hex($text), 'with the full length: every byte');
    is(MD5Str($text, 5), md5_hex("abc\0d"), 'a shorter length: that many bytes');
    is(MD5Str($text, 100), md5_hex($text), 'a length beyond the end: the whole string');
    is(MD5Str($text, 0), $empty_digest, 'length 0: the empty input');
    is(MD5Str($text, -3), $empty_digest, 'a negative length: the empty input');
    is(MD5Str("\0abc"), $empty_digest, 'a leading zero byte: the empty input');
    is(MD5Str(12345), md5_hex('12345'), 'a number is hashed as its string');
    'xabcx' =~ /x(.+)x/ or die;
    is(MD5Str($1), md5_hex('abc'), 'a magical value (a regex capture)');
};

subtest 'a string hashes the same however the interpreter stores it' => sub {
    my $bytes = "caf\xe9";
    my $upgraded = $bytes;
    utf8::upgrade($upgraded);
    is(MD5Str($upgraded), md5_hex($bytes), 'an upgraded string hashes as its bytes');
    is(MD5Str($upgraded, 4), md5_hex($bytes), 'with a length too');
};

subtest 'file names' => sub {
    my $file = "$dir/data-1024";
    my $expected = md5sum_of($file);
    (my $windows = $file) =~ tr{/}{\\};
    is(MD5Sum($windows), $expected, 'backslashes separate');
    my $name = "C:$file";
    is(MD5Sum($name), $expected, 'C:/... opens the file below C:\\');
    is($name, "C:$file", "the caller's argument keeps its slashes");
    is(MD5Str($data{1024}, 1024), MD5Sum($file), 'a 1024-byte file: as MD5Str over its content');
    is(MD5Str($data{2048}, 2048), MD5Sum("$dir/data-2048"), 'a 2048-byte file as well');
};

subtest 'failures give undef' => sub {
    is(MD5Sum("$dir/missing"), undef, 'a missing file');
    is(MD5Sum(''), undef, 'an empty name');
    is(MD5Sum(undef), undef, 'an undefined name');
    is(MD5Sum($dir), undef, 'a directory cannot be opened as a file');
    is(MD5Sum(), undef, 'no argument');
    is(MD5Sum("$dir/data-1", 'x'), undef, 'two arguments');
    is(MD5Str(), undef, 'MD5Str without argument');
    is(MD5Str('a', 1, 2), undef, 'MD5Str with three arguments');
    SKIP: {
        skip 'root reads every file', 1 if $> == 0;
        my $locked = write_file("$dir/locked", 'secret');
        chmod 0000, $locked;
        is(MD5Sum($locked), undef, 'a file that may not be read');
    }
};

LmxTest::finish();
