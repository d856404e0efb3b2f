# KALDOR::Install::Jar in read mode: walking entries with their 80-byte
# descriptions checked against `zipinfo -v`, opening by name, Read and
# ReadLine, on archives of Info-ZIP zip and Python's zipfile.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir make_tree);
use LmxTest::Zip qw(python_zip info_zip zip64_zeros zipinfo fileinfo_fields);

bootstrap KALDOR::Install::Jar;

my $dir = temp_dir();
my ($py, $three, $lines) = python_zip(
    ["$dir/py.zip", ['d/', '', external => (040755 << 16) | 0x10],
     ['d/x', 'x' x 300, deflated => 1, date => [2044, 12, 31, 23, 59, 58]],
     ['y', 'y', zip64 => 1, date => [1980, 1, 1, 0, 0, 0]], {comment => 'a comment'}],
    ["$dir/three.zip", ['one', '1'], ['two', '22', deflated => 1], ['three', '333'],
     {comment => 'twelve bytes'}],
    ["$dir/lines.zip", ['crlf', "a\r\nb\n"], ['no-end', "x\n\ny"], ['nul', "a\0bc\nd\n"],
     ['empty', ''], ['long', ('z' x 100_000) . "\nshort\n", deflated => 1]]);

sub opened {
    my ($archive) = @_;
    my $jar = KALDOR::Install::Jar->new();
    my $rc = $jar->OpenArchive($archive);
    die "cannot open $archive\n" unless defined $rc && $rc == 0;
    return $jar;
}

sub walk {
    my ($jar) = @_;
    my @entries;
    while (defined(my $entry = $jar->Next())) { push @entries, $entry }
    return @entries;
}

# Every field of each description against what zipinfo reports.
sub agrees_with_zipinfo {
    my ($archive, $what) = @_;
    my @theirs = zipinfo($archive);
    my @ours = walk(opened($archive));
    is(scalar @ours, scalar @theirs, "$what: as many entries as zipinfo lists");
    for my $i (0 .. $#theirs) {
        my ($t, $entry) = ($theirs[$i], $ours[$i]);
        my $f = fileinfo_fields($entry->{fileinfo});
        my $fit = sub { $_[0] > 0xFFFFFFFF ? 0xFFFFFFFF : $_[0] };
        is_deeply(
            {name => $entry->{filename}, crc => $f->{crc}, compressed => $f->{compressed},
             uncompressed => $f->{uncompressed}, lengths => [@$f{qw(name_length extra_length comment_length)}],
             date => [@$f{qw(sec min hour day month year)}], made_by => $f->{version_made_by} & 0xFF,
             needed => $f->{version_needed}, method => $f->{method},
             descriptor => $f->{flags} & 8 ? 'yes' : 'no',
             unix => $f->{external} >> 16, dos => $f->{external} & 0xFF},
            {name => $t->{name}, crc => $t->{crc}, compressed => $fit->($t->{compressed}),
             uncompressed => $fit->($t->{uncompressed}),
             lengths => [@$t{qw(name_length extra_length comment_length)}], date => $t->{date},
             made_by => $t->{made_by_version} * 10, needed => $t->{needed_version} * 10,
             method => $t->{method} =~ /deflated/ ? 8 : 0,
             descriptor => $t->{extended_header} || ($f->{flags} & 8 ? 'yes' : 'no'),
             unix => defined $t->{unix_mode} ? $t->{unix_mode} : $f->{external} >> 16,
             dos => defined $t->{dos_attributes} ? $t->{dos_attributes} : $f->{external} & 0xFF},
            "$what: $t->{name}");
        is(length $entry->{fileinfo}, 80, "$what: an 80-byte description");
    }
}

subtest 'descriptions agree with zipinfo' => sub {
    my $tree = make_tree(temp_dir(), 'a.txt' => "text\n" x 100, 'bin/b' => join('', map { chr } 0 .. 255),
                         'bin/empty' => '');
    utime(1183608182, 1183608182, "$tree/a.txt");    # 2007-07-05, an odd second
    agrees_with_zipinfo(info_zip($tree, "$dir/info.zip", ['-r'], '.'), 'zip -r');
    agrees_with_zipinfo(info_zip($tree, "$dir/stored.zip", ['-r', '-0', '-X'], '.'), 'zip -0 -X');
    agrees_with_zipinfo($py, 'zipfile');
    agrees_with_zipinfo(zip64_zeros("$dir/big.zip", 'zeros', 4097), 'zip64 over 4 GiB');
};

subtest 'walking and opening' => sub {
    my $archive = $three;
    my $jar = KALDOR::Install::Jar->new();
    isa_ok($jar, 'KALDOR::Install::Jar');
    ok(exists $jar->{err} && !defined $jar->{err}, 'err is there and undef');
    is($jar->Next(), 0, 'Next with no archive open');
    is($jar->Close(), 0, 'Close with no archive open');
    my $buffer;
    is($jar->Read($buffer, 1), 0, 'Read with no archive open');
    is($jar->OpenArchive($archive, 'x'), undef, 'an unknown mode');
    is($jar->OpenArchive($archive, ''), undef, 'an empty mode');
    is($jar->OpenArchive(''), undef, 'an empty path');
    is($jar->OpenArchive("$dir/none.zip"), undef, 'a missing archive');
    is($jar->OpenArchive($archive, 'read'), 0, 'mode by its first character');
    is($jar->{num_of_files}, 3, 'num_of_files');
    is($jar->{size_of_comment}, 12, 'size_of_comment');
    is_deeply([map { $_->{filename} } walk($jar)], [qw(one two three)], 'Next: each entry once');
    is($jar->Next(), undef, 'and undef at the end');

    is($jar->Open('two'), 0, 'Open by name');
    is($jar->Read($buffer, 100), 2, 'Read');
    is($buffer, '22', 'the data');
    is($jar->Read($buffer, 100), 0, 'the end of the entry');
    is($jar->Close(), 0, 'Close');
    is($jar->Open('TWO'), undef, 'names with their case');
    is($jar->Open('META-INF/MANIFEST.MF'), undef, 'no manifest');
    is($jar->Open(), 0, 'Open of the current entry');
    is($jar->Read($buffer, 1), 1, 'the last entry is current after the failed search');
    is($buffer, '3', 'its data');
    is($jar->Read('read-only', 1), undef, 'a read-only buffer');
    is($jar->Write('x', 1), undef, 'Write in read mode');
    is($jar->Print('x'), undef, 'Print in read mode');
    is($jar->Add($archive), undef, 'Add in read mode');
    is($jar->Next('extra'), undef, 'a wrong argument count');
    is(KALDOR::Install::Jar::Next(bless({obj => $jar->{obj}}, 'KALDOR::Install::Jar')), undef,
       'a forged object');
    is($jar->CloseArchive(), 0, 'CloseArchive');
    is($jar->CloseArchive(), undef, 'a second CloseArchive');
    isa_ok(KALDOR::Install::Jar::new('My::Jar'), 'My::Jar', 'a class of its own');
    is(KALDOR::Install::Jar->new('My::Jar'), undef, 'a class method call with a class: two arguments');
    is(KALDOR::Install::Jar::new('a', 'b'), undef, 'new with two arguments');
};

subtest 'ReadLine' => sub {
    my $jar = opened($lines);
    my $lines = sub {
        my ($name) = @_;
        $jar->Open($name) == 0 or return;
        my @lines;
        while (defined(my $line = $jar->ReadLine())) { push @lines, $line }
        push @lines, 'then undef' unless defined $jar->ReadLine();
        $jar->Close();
        return \@lines;
    };
    is_deeply($lines->('crlf'), ['a', 'b', '', 'then undef'], 'CR LF and LF, then an empty last line');
    is_deeply($lines->('no-end'), ['x', '', 'y', 'then undef'], 'a last line without a line feed');
    # The first read of 3 bytes brings "a\0b": its text ends at the NUL, and
    # the next read goes where the NUL was.
    is_deeply($lines->('nul'), ['ac', 'd', '', 'then undef'], 'a NUL byte ends the text of its read');
    is_deeply($lines->('empty'), ['', 'then undef'], 'an empty entry');
    is_deeply($lines->('long'), ['z' x 100_000, 'short', '', 'then undef'], 'a long line');

    $jar->Open('no-end');
    is($jar->ReadLine(), 'x', 'one line of an entry');
    $jar->Open('crlf');
    is($jar->ReadLine(), 'a', 'Open of another entry starts with its own first line');
    my $buffer;
    $jar->Open('long');
    $jar->ReadLine();
    # The line buffer grew in steps of 3 to 100002 bytes, so it holds "s".
    is($jar->Read($buffer, 5), 5, 'Read after ReadLine');
    is($buffer, "hort\n", 'goes on after the bytes the line buffer took');
    is($jar->ReadLine(), 's', 'which the next line begins with');
};

finish();
