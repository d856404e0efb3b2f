# KALDOR::Install::MD5Sum against md5sum and the system Perl's Digest::MD5.
use strict;
use warnings;
use Test::More;
use Digest::MD5 qw(md5_hex);
use LmxTest qw(finish temp_dir write_file);

bootstrap KALDOR::Install::MD5Sum;
*MD5Str = \&KALDOR::Install::MD5Sum::MD5Str;
*MD5Sum = \&KALDOR::Install::MD5Sum::MD5Sum;

my $dir = temp_dir();
my $nothing = md5_hex('');

subtest 'the published test suite' => sub {
    my @suite = ('' => 'd41d8cd98f00b204e9800998ecf8427e', a => '0cc175b9c0f1b6a831c399e269772661',
                 abc => '900150983cd24fb0d6963f7d28e17f72',
                 'message digest' => 'f96b697d7cb7938d525a2f31aaf161d0',
                 'abcdefghijklmnopqrstuvwxyz' => 'c3fcd3d76192e4007dfb496cca67e13b',
                 join('', 'A' .. 'Z', 'a' .. 'z', 0 .. 9) => 'd174ab98d277d9f5a5611c2c9f419d9f',
                 '1234567890' x 8 => '57edf4a22be3c955ac49da2e2107b67a');
    while (my ($text, $digest) = splice @suite, 0, 2) { is(MD5Str($text), $digest, "'$text'") }
};

subtest 'random data of many lengths, as strings and as files' => sub {
    my @sizes = (0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 2048, 3 * 1024 * 1024 + 17);
    my (%data, @files);
    for my $size (@sizes) {
        my $data = '';
        $data .= pack('N*', map { int rand 2**32 } 1 .. 1024) while length $data < $size;
        $data{$size} = substr($data, 0, $size);
        push @files, write_file("$dir/data-$size", $data{$size});
    }
    open(my $md5sum, '-|', 'md5sum', @files) or die "md5sum: $!\n";
    my %oracle = map { /^(\w+)  .*data-(\d+)$/ ? ($2, $1) : () } <$md5sum>;
    for my $size (@sizes) {
        my $data = $data{$size};
        is(md5_hex($data), $oracle{$size}, "the two oracles agree ($size bytes)");
        is(MD5Str($data, $size), $oracle{$size}, "MD5Str with its length ($size bytes)");
        is(MD5Sum("$dir/data-$size"), $oracle{$size}, "MD5Sum of the file ($size bytes)");
        (my $no_zero = $data) =~ tr/\0/\x01/;
        is(MD5Str($no_zero), md5_hex($no_zero), "MD5Str without length ($size bytes)");
    }
};

subtest 'zero bytes, lengths and kinds of strings' => sub {
    my $text = "abc\0def";
    is(MD5Str($text), md5_hex('abc'), 'without a length: up to the first zero byte');
    is(MD5Str($text, 7), md5_hex($text), 'with the full length: every byte');
    is(MD5Str($text, 5), md5_hex("abc\0d"), 'a shorter length');
    is(MD5Str($text, 100), md5_hex($text), 'a length beyond the end: the whole string');
    is(MD5Str($text, $_), $nothing, "length $_: the empty input") for 0, -3;
    is(MD5Str(12345), md5_hex('12345'), 'a number, as its string');
    my $upgraded = "caf\xe9";
    utf8::upgrade($upgraded);
    is(MD5Str($upgraded), md5_hex("caf\xe9"), 'a string held in UTF-8 hashes as its bytes');
    'xabcx' =~ /x(.+)x/ or die;
    is(MD5Str($1), md5_hex('abc'), 'a magical value (a regex capture)');
};

subtest 'file names and failures' => sub {
    my $file = "$dir/data-1024";
    (my $backslashed = $file) =~ tr{/}{\\};
    my $name = "C:$file";
    is(MD5Sum($backslashed), MD5Sum($file), 'backslashes separate');
    is(MD5Sum($name), MD5Sum($file), 'C:/... opens the file below C:\\');
    is($name, "C:$file", "the caller's argument keeps its slashes");
    is(MD5Sum($_), undef, 'undef for ' . ($_ // 'undef')) for "$dir/missing", '', undef, $dir, "$file\0x";
    is(MD5Sum(), undef, 'undef without argument');
    is(MD5Sum($file, 'x'), undef, 'undef for two arguments');
    is(MD5Str(), undef, 'MD5Str: undef without argument');
    is(MD5Str('a', 1, 2), undef, 'MD5Str: undef for three arguments');
};

LmxTest::finish();
