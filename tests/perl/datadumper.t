# KALDOR::Install::DataDumper: the text format to the byte, the reader's
# messages, round trips of random structures, cycles and depth. (Hostile
# texts are fuzzed in the unit tests of the reader.)
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir read_file);

bootstrap KALDOR::Install::DataDumper;
*dumpElement = \&KALDOR::Install::DataDumper::dumpElement;
*getElement = \&KALDOR::Install::DataDumper::getElement;
*truncateString = \&KALDOR::Install::DataDumper::truncateString;

my $Q = '""';
my $dir = temp_dir();

# What a piece of code prints on standard output, and its result.
sub printed {
    my ($code) = @_;
    open(my $saved, '>&', \*STDOUT) or die "dup: $!\n";
    open(STDOUT, '>', "$dir/out") or die "redirect: $!\n";
    my $result = $code->();
    open(STDOUT, '>&', $saved) or die "restore: $!\n";
    return (read_file("$dir/out"), $result);
}

sub dumped { my $out = ''; my $n = dumpElement($_[0], \$out); return wantarray ? ($out, $n) : $out }
sub read_back { my ($text) = @_; return getElement(\$text) }

subtest 'the format, case by case' => sub {
    my ($text, $n) = dumped([1, 'x', undef]);
    is($text, "ARRAY(${Q}1$Q;;${Q}x$Q;;undef)", 'an integer, a string and undef');
    is($n, 26, 'the length is returned');
    my $empty = '';
    my @sparse;
    $sparse[1] = 'x';
    my @cases = (
        [{k => 'a(b);c'}, "HASH(${Q}k$Q => ${Q}a\\(b\\)\\;c$Q)", {k => 'a(b);c'}],
        [\$empty, "SCALAR($Q$Q)", \''], [[], 'ARRAY()', []], [{}, 'HASH()', {}],
        [\@sparse, "ARRAY(;;${Q}x$Q)", []],
        [\[7], "REF(ARRAY(${Q}7$Q))", \['7']], [\\'s', "REF(SCALAR(${Q}s$Q))", \\'s'],
        [[\5, \2.5], "ARRAY(SCALAR(${Q}5$Q);;SCALAR(${Q}2.5$Q))", [\'5', \'2.5']],
        [bless([1], 'Some::Class'), "ARRAY(${Q}1$Q)", ['1']],
        [["a\0b", 'back\\slash'], "ARRAY(${Q}a\0b$Q;;${Q}back\\slash$Q)", ["a\0b", 'back\\slash']],
        [[2**40, -2**40, ~0], "ARRAY(${Q}1099511627776$Q;;${Q}-1099511627776$Q;;${Q}18446744073709551615$Q)",
         ['1099511627776', '-1099511627776', '18446744073709551615']]);
    for (@cases) {
        my ($value, $expected, $back) = @$_;
        is(dumped($value), $expected, "writes $expected");
        is_deeply(read_back($expected), $back, 'and reads back');
    }
    my $both = 5;
    my $string = "$both";    # now it holds the number and the string
    my $out = 'unchanged';
    is(dumpElement($_, \$out), 0, 'nothing for ' . ref $_) for \$both, \undef, sub { 1 }, \*STDOUT;
    is($out, 'unchanged', 'and the output string is left alone');
    is(dumped([sub { 1 }]), 'ARRAY()', 'a code reference inside an array is the empty text');
};

subtest 'arguments' => sub {
    my ($out, $undefined, $number) = ('', undef, 5);
    is(dumpElement(@$_), undef, 'dumpElement: undef') for [[1]], ['x', \$out], [[1], $out],
      [[1], \$undefined], [[1], \$number], [[1], []], [[1], \''];
    is(getElement(@$_), undef, 'getElement: undef') for [], ['ARRAY()'], [\''], [\undef], [[1]];
    is(read_back('undef'), undef, 'the text undef reads as undef');
    is(read_back("${Q}abc$Q"), 'abc', 'a string leaf reads as a plain string');
    my %truncated = ('HASH(a)xyz' => 7, 'no parentheses' => 14, 'A(b\\)c)d)' => 7);
    is(truncateString($_), $truncated{$_}, "truncateString('$_')") for sort keys %truncated;
    is(truncateString(@$_), undef, 'truncateString: undef') for [12345], [];
    my $text = 'X(y)z';
    truncateString($text);
    is($text, 'X(y)z', "truncateString leaves its argument alone");
    $text = "ARRAY(${Q}a$Q)";
    getElement(\$text);
    is($text, "ARRAY(${Q}a$Q)", 'getElement leaves the text alone');
};

subtest 'messages of the reader' => sub {
    my @cases = (["ARRAY(ARRAY(${Q}1$Q;;${Q}2$Q)", ">>>> split error: 1 | 0\n"],
                 ['plain text', "error: |plain text|\n"], ['SCALAR(x)', "error: |SCALAR(x)|\n"],
                 ["HASH(${Q}a$Q => HASH(${Q}b$Q => oops))", "error: |oops|\n" . ">>>> ERR NO VAL\n" x 2],
                 ["HASH(${Q}a$Q = ${Q}1$Q)", '']);
    for (@cases) {
        my ($text, $message) = @$_;
        my ($said, $value) = printed(sub { read_back($text) });
        is($said, $message, "the message for $text");
        is($value, undef, 'and no value');
    }
};

# Random structures of arrays, hashes, references, integers and strings
# with the characters the format escapes (and keys it can carry).
my @chars = ('"', '(', ')', ';', '\\', ' ', '=', '>', "\0", "\n", 'a', "\xff");
sub random_string { return join '', map { $chars[rand @chars] } 1 .. int rand 8 }
sub random_key { (my $k = join '', map { ('a' .. 'f', ' ', '\\', '=', '>', ';')[rand 11] } 1 .. rand 6) =~ s/;;/;/g; $k }
sub random_value {
    my ($depth) = @_;
    my $kind = int rand($depth > 0 ? 8 : 3);
    return (undef, int(rand 2**50) - (1 << 49), random_string())[$kind] if $kind < 3;
    return [map { random_value($depth - 1) } 1 .. rand 5] if $kind <= 4;
    return {map { (random_key(), random_value($depth - 1)) } 1 .. rand 5} if $kind == 5;
    if ($kind == 6) {
        my $string = random_string();    # a fresh plain string scalar
        return \$string;
    }
    my $inner = random_value($depth - 1);
    return ref $inner ? \$inner : [$inner];
}

subtest 'random structures read back as they were written' => sub {
    srand(20240601);
    my @failed = grep { my $v = [random_value(5)]; !Test::More::eq_array([read_back(dumped($v))], [$v]) } 1 .. 300;
    is("@failed", '', '300 structures survive a round trip');
};

subtest 'cycles and depth' => sub {
    my @cycle = (1);
    push @cycle, \@cycle;
    my $self;
    $self = \$self;
    my $out = 'unchanged';
    my %loop = (a => 1, b => 2);
    $loop{self} = \%loop;
    is(dumpElement($_, \$out), 0, 'a cycle is not written') for \@cycle, \$self, \%loop;
    my $keys = 0;
    $keys++ while each %loop;
    is($keys, 3, 'the hash iterator is back at the start');
    is($out, 'unchanged', 'and the output is left alone');
    my $shared = ['s'];
    is(dumped([$shared, $shared]), "ARRAY(ARRAY(${Q}s$Q);;ARRAY(${Q}s$Q))", 'a shared value, twice');
    my $deep = 'leaf';
    $deep = [$deep] for 1 .. 10000;
    my $back = read_back(dumped($deep));
    $back = $back->[0] for 1 .. 9999;
    is_deeply($back, ['leaf'], '10000 nested arrays are written and read back');
    is(dumpElement([$deep], \$out), 0, 'one level more is not written');
    my $million = ('ARRAY(' x 1_000_000) . 'undef' . (')' x 1_000_000);
    my ($said, $value) = printed(sub { read_back($million) });
    is($value, undef, 'a text nested a million levels deep fails');
    is($said, ">>>> nesting error: deeper than 10000 levels\n", 'and says why');
};

subtest 'strings used as numbers, and keys that would not read back' => sub {
    my ($text, $padded) = ('text', ' 5');
    { no warnings 'numeric'; my $used = $text == 0 && $padded == 5; }
    is(dumped({k => \$text}), "HASH(${Q}k$Q => SCALAR(${Q}text$Q))", 'a string used as a number: its string');
    is_deeply(read_back(dumped({k => \$text})), {k => \'text'}, 'and it reads back');
    is(dumped(\$padded), "SCALAR(${Q} 5$Q)", 'its string, not its number');
    my $out = 'unchanged';
    for my $key ("a$Q => ${Q}1$Q;;${Q}b", 'f(x)', 'a;;b', 'quote"') {
        is(dumpElement({$key => 1, plain => 2}, \$out), 0, "the key '$key' is refused");
        is(dumpElement([[{$key => 1}]], \$out), 0, 'also deep inside');
    }
    is($out, 'unchanged', 'and the output is left alone');
    is(dumped({'a;b "c" \\' => 1}), "HASH(${Q}a;b \"c\" \\$Q => ${Q}1$Q)", 'other keys are written as they are');
};

LmxTest::finish();
