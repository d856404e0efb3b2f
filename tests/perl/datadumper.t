# KALDOR::Install::DataDumper: the text format to the byte, the messages of
# the reader, round trips of random structures, and hostile texts.
use strict;
use warnings;
use Test::More;
use Time::HiRes qw(time);
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
    close STDOUT;
    open(STDOUT, '>&', $saved) or die "restore: $!\n";
    return (read_file("$dir/out"), $result);
}

sub dumped {
    my ($value) = @_;
    my $out = '';
    my $n = dumpElement($value, \$out);
    return wantarray ? ($out, $n) : $out;
}

sub read_back {
    my ($text) = @_;
    return getElement(\$text);
}

subtest 'the format, case by case' => sub {
    my ($text, $n) = dumped([1, 'x', undef]);
    is($text, "ARRAY(${Q}1$Q;;${Q}x$Q;;undef)", 'an array of an integer, a string and undef');
    is($n, 26, 'the length is returned');
    is_deeply(read_back($text), ['1', 'x', undef], 'and reads back');

    $text = dumped({k => 'a(b);c'});
    is($text, "HASH(${Q}k$Q => ${Q}a\\(b\\)\\;c$Q)", 'the special characters are escaped');
    is_deeply(read_back($text), {k => 'a(b);c'}, 'and unescaped');

    my $empty = '';
    $text = dumped(\$empty);
    is($text, "SCALAR($Q$Q)", 'a reference to an empty string');
    my $back = read_back($text);
    is(ref $back, 'SCALAR', 'reads back to a scalar reference');
    is($$back, '', 'of an empty string');

    is(dumped([]), 'ARRAY()', 'an empty array');
    is(dumped({}), 'HASH()', 'an empty hash');
    is_deeply(read_back('ARRAY()'), [], 'reads back empty');
    is_deeply(read_back('HASH()'), {}, 'reads back empty');

    my @sparse;
    $sparse[1] = 'x';
    is(dumped(\@sparse), "ARRAY(;;${Q}x$Q)", 'a missing element 0 writes only its separator');
    is_deeply(read_back("ARRAY(;;${Q}x$Q)"), [], 'and reads back as an empty array');

    is(dumped(\[7]), "REF(ARRAY(${Q}7$Q))", 'a reference to a reference');
    is(dumped(\\"s"), "REF(SCALAR(${Q}s$Q))", 'a reference to a reference to a string');
    is(dumped([\5, \2.5]), "ARRAY(SCALAR(${Q}5$Q);;SCALAR(${Q}2.5$Q))",
       'references to a plain integer and a plain number');
    is(dumped(bless [1], 'Some::Class'), "ARRAY(${Q}1$Q)", 'a blessed array is written like any');
    is(dumped(["a\0b"]), "ARRAY(${Q}a\0b$Q)", 'a zero byte is written as it is');
    is(dumped(['back\\slash']), "ARRAY(${Q}back\\slash$Q)", 'the escape character is not escaped');
    is(dumped([2**40, -2**40, ~0]),
       "ARRAY(${Q}1099511627776$Q;;${Q}-1099511627776$Q;;${Q}18446744073709551615$Q)",
       'integers beyond 32 bits are written in full');
};

subtest 'what writes nothing' => sub {
    my $both = 5;
    my $string = "$both";    # now it holds the number and the string
    my $out = 'unchanged';
    is(dumpElement(\$both, \$out), 0, 'a scalar holding number and string writes nothing');
    is($out, 'unchanged', 'the output string is left alone');
    my $undefined;
    is(dumpElement(\$undefined, \$out), 0, 'a reference to an undefined scalar');
    is(dumpElement(sub { 1 }, \$out), 0, 'a code reference');
    is(dumpElement(\*STDOUT, \$out), 0, 'a glob reference');
    is(dumped([sub { 1 }]), 'ARRAY()', 'inside an array it is the empty text');
};

subtest 'arguments' => sub {
    my $out = '';
    is(dumpElement([1]), undef, 'one argument');
    is(dumpElement('x', \$out), undef, 'the first argument is no reference');
    is(dumpElement([1], $out), undef, 'the second argument is no reference');
    my $undefined;
    is(dumpElement([1], \$undefined), undef, 'the output variable is undefined');
    my $number = 5;
    is(dumpElement([1], \$number), undef, 'the output variable holds a number');
    is(dumpElement([1], []), undef, 'the output is an array');
    is(dumpElement([1], \''), undef, 'the output is read-only');

    is(getElement('ARRAY()'), undef, 'getElement of a string, not a reference');
    is(getElement(), undef, 'getElement without argument');
    my $empty = '';
    is(getElement(\$empty), undef, 'an empty text');
    is(getElement(\undef), undef, 'an undefined text');
    is(getElement([1]), undef, 'a reference to an array');
    is(read_back('undef'), undef, 'the text undef reads as undef');
    is(read_back("${Q}abc$Q"), 'abc', 'a string leaf reads as a plain string');

    is(truncateString('HASH(a)xyz'), 7, 'truncateString: the balanced prefix');
    is(truncateString('no parentheses'), 14, 'the full length without parentheses');
    is(truncateString('A(b\\)c)d)'), 7, 'an escaped ")" does not count');
    is(truncateString(12345), undef, 'a number that was never a string');
    is(truncateString(), undef, 'no argument');
    my $text = 'X(y)z';
    truncateString($text);
    is($text, 'X(y)z', "the caller's string is not changed");
};

subtest 'messages of the reader' => sub {
    my ($said, $value) = printed(sub { read_back("ARRAY(ARRAY(${Q}1$Q;;${Q}2$Q)") });
    is($said, ">>>> split error: 1 | 0\n", 'an incomplete element');
    is($value, undef, 'fails');
    ($said, $value) = printed(sub { read_back('plain text') });
    is($said, "error: |plain text|\n", 'neither a container nor a quoted leaf');
    is($value, undef, 'fails');
    ($said, $value) = printed(sub { read_back("HASH(${Q}a$Q => HASH(${Q}b$Q => oops))") });
    is($said, "error: |oops|\n>>>> ERR NO VAL\n>>>> ERR NO VAL\n", 'each hash reports its missing value');
    ($said, $value) = printed(sub { read_back("HASH(${Q}a$Q = ${Q}1$Q)") });
    is($said, '', 'an entry without "=>" fails silently');
    is($value, undef, 'fails');
    ($said) = printed(sub { read_back('SCALAR(x)') });
    is($said, "error: |SCALAR(x)|\n", 'a short SCALAR text');
    my $text = "ARRAY(${Q}a$Q)";
    read_back($text);
    my $kept = $text;
    getElement(\$text);
    is($text, $kept, 'the text is not altered by reading it');
};

# A random structure of arrays, hashes, references and strings with the
# characters the format escapes (and those it does not).
my @chars = ('"', '(', ')', ';', '\\', ' ', '=', '>', "\0", "\n", 'a', 'b', "\xff");
sub random_string { return join '', map { $chars[rand @chars] } 1 .. int rand 8 }
sub random_key {
    my $key = join '', map { ('a' .. 'f', ' ', '\\', '=', '>', ';')[rand 11] } 1 .. int rand 6;
    $key =~ s/;;/;/g;
    return $key;
}
sub random_value {
    my ($depth) = @_;
    my $kind = $depth > 0 ? int rand 8 : int rand 3;
    return undef if $kind == 0;
    return int(rand 2**50) - (1 << 49) if $kind == 1;    # integer values
    return random_string() if $kind == 2;
    return [map { random_value($depth - 1) } 1 .. int rand 5] if $kind <= 4;
    return {map { (random_key(), random_value($depth - 1)) } 1 .. int rand 5} if $kind == 5;
    if ($kind == 6) {
        my $s = random_string();
        return \$s;
    }
    my $inner = random_value($depth - 1);
    return ref $inner ? \$inner : [$inner];
}

subtest 'random structures read back as they were written' => sub {
    srand(20240601);
    my $failures = 0;
    for my $round (1 .. 300) {
        my $value = [random_value(5)];
        my $text = dumped($value);
        my $back = read_back($text);
        next if eq_deeply_quiet($back, $value);
        $failures++;
        diag("round $round: $text") if $failures <= 3;
    }
    is($failures, 0, '300 structures survive a round trip');
};

sub eq_deeply_quiet {
    my ($got, $expected) = @_;
    return Test::More::eq_array([$got], [$expected]);
}

subtest 'cycles and depth' => sub {
    my @cycle = (1);
    push @cycle, \@cycle;
    my $out = 'unchanged';
    is(dumpElement(\@cycle, \$out), 0, 'a cyclic array is not written');
    is($out, 'unchanged', 'and the output is left alone');
    my $self;
    $self = \$self;
    is(dumpElement(\$self, \$out), 0, 'a reference to itself');
    my $shared = ['s'];
    is(dumped([$shared, $shared]), "ARRAY(ARRAY(${Q}s$Q);;ARRAY(${Q}s$Q))",
       'a value shared without a cycle is written twice');

    my $deep = 'leaf';
    $deep = [$deep] for 1 .. 10000;
    my $text = dumped($deep);
    is(length $text, 10000 * 7 + 8, '10000 nested arrays are written');
    my $back = read_back($text);
    $back = $back->[0] for 1 .. 9999;
    is_deeply($back, ['leaf'], 'and read back');
    $deep = [$deep];
    is(dumpElement($deep, \$out), 0, 'one level more is not written');

    my $million = ('ARRAY(' x 1_000_000) . 'undef' . (')' x 1_000_000);
    my $start = time;
    my ($said, $value) = printed(sub { read_back($million) });
    note(sprintf 'a million levels failed after %.3f s', time - $start);
    is($value, undef, 'a text nested a million levels deep fails');
    is($said, ">>>> nesting error: deeper than 10000 levels\n", 'and says why');
};

subtest 'hostile texts never crash the reader' => sub {
    srand(7);
    my @pieces = ('ARRAY(', 'HASH(', 'REF(', 'SCALAR(', ')', '(', ';;', ';', $Q, '"', '\\',
                  'undef', ' => ', "${Q}k$Q => ", 'x', "\0");
    my $base = dumped([random_value(4), {a => [1, \'x']}]);
    my $read = 0;
    printed(sub {
        for (1 .. 3000) {
            my $text = join '', map { $pieces[rand @pieces] } 1 .. int rand 30;
            $read++ if defined read_back($text);
            my $mutant = $base;
            substr($mutant, rand length $mutant, 1 + int rand 3) = $pieces[rand @pieces] for 1 .. 3;
            $read++ if defined read_back($mutant);
        }
    });
    pass("6000 random and mutated texts read ($read gave a value)");
};

LmxTest::finish();
