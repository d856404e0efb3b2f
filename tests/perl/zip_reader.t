# The zip reader: entries by name and the current entry, member objects that
# share the archive's one open entry, archives made by Info-ZIP zip and
# Python's zipfile, lookups among many entries and a zip64 entry.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file make_tree gnu_tar);
use LmxTest::Zip qw(python_zip info_zip zip64_zeros patch_central);

bootstrap LMX::Common::Archive::Zip;

my $dir = temp_dir();
my $manifest = "Manifest-Version: 1.0\r\nCreated-By: test\r\n\r\n";
my ($three, $py, $bad, $many) = python_zip(
    ["$dir/three.zip", ['first.txt', "first entry\n" x 50, deflated => 1],
     ['META-INF/MANIFEST.MF', $manifest, deflated => 1], ['last.bin', "\0\1\2" x 1000]],
    ["$dir/py.zip", ['dir/', ''], ['dir/x', 'x' x 100, zip64 => 1],
     ['dir/y', 'y' x 100, deflated => 1, zip64 => 1], {comment => 'the archive comment'}],
    ["$dir/crc.zip", ['good', 'good data'], ['bad', 'bad data' x 10, deflated => 1]],
    ["$dir/many.zip", map { [sprintf('pkg/file%05d.pm', $_), "$_\n"] } 0 .. 2999]);

subtest 'new' => sub {
    my $zip = LMX::Common::Archive::Zip->new($three);
    isa_ok($zip, 'LMX::Common::Archive::Zip');
    isa_ok(LMX::Common::Archive::Zip::new($three), 'LMX::Common::Archive::Zip', 'a bare path');
    isa_ok(LMX::Common::Archive::Zip::new('My::Zip', $three), 'My::Zip', 'a class of its own');
    my $tgz = gnu_tar(make_tree(temp_dir(), 'a.pm' => '1;'), "$dir/a.tgz", ['-z'], 'a.pm');
    is(LMX::Common::Archive::Zip->new($tgz), undef, 'a tar.gz file is no zip archive');
    is(LMX::Common::Archive::Zip->new(''), undef, 'an empty path');
    is(LMX::Common::Archive::Zip->new($dir), undef, 'a directory');
    is(LMX::Common::Archive::Zip->new("$dir/none.zip"), undef, 'a missing file');
    is(LMX::Common::Archive::Zip::new(), undef, 'no arguments');
    (my $windows = $three) =~ s{/}{\\}g;
    ok(LMX::Common::Archive::Zip->new($windows), 'a path with backslashes');
};

subtest 'open by name and the current entry' => sub {
    my $zip = LMX::Common::Archive::Zip->new($three);
    my $member = $zip->open;
    isa_ok($member, 'LMX::Common::Archive::Zip::File');
    is($member->read, "first entry\n" x 50, 'open without a name right after new: the first entry');
    is($member->read, '', 'nothing is left');
    is($member->close, 0, 'close of an intact entry');
    is($member->read, undef, 'a closed member answers undef');
    is($member->close, undef, 'also to a second close');

    is($zip->open('META-INF/MANIFEST.MF')->read, $manifest, 'the manifest wherever it stands');
    is($zip->open('meta-inf/manifest.mf'), undef, 'names are compared with their case');
    is($zip->open('META-INF'), undef, 'and in full');
    is($zip->open(''), undef, 'an empty name');
    is($zip->open('last.bin')->read, "\0\1\2" x 1000, 'binary data');
    is($zip->open('first.txt')->read, "first entry\n" x 50, 'an earlier entry again');
    is($zip->open->read, "first entry\n" x 50, 'the found entry stays current');
    is($zip->open('missing'), undef, 'a name that no entry has');
    is($zip->open->read, "\0\1\2" x 1000, 'the walk ended on the last entry, which is current');
    is($zip->usecache(1), 0, 'usecache');
    is($zip->usecache, undef, 'usecache without its flag');
    is($zip->open('a', 'b'), undef, 'open with too many arguments');
};

subtest 'members share the open entry' => sub {
    my $zip = LMX::Common::Archive::Zip->new($three);
    my $first = $zip->open('first.txt');
    my $second = $zip->open('last.bin');
    is($first->read, "\0\1\2" x 1000, 'the first member reads the entry opened last');
    my $third = $zip->open('first.txt');
    undef $first;
    is($third->read, undef, 'destroying the first member closed the current entry');

    my $buffer = 'old';
    my $member = $zip->open('first.txt');
    is($member->sysseek(0, 1), 0, 'a fresh member is at 0');
    is($member->sysread($buffer, 6), 6, 'sysread of part of the entry');
    is($buffer, 'first ', 'the buffer holds exactly the bytes read');
    is($member->sysseek(6, 0), 6, 'the count of delivered bytes');
    is($member->sysseek(1, 1), -1, 'seeks that move are refused');
    is(length $member->read, 600 - 6, 'read returns the rest');
    is($member->sysseek(0, 1), 6, 'read does not change the count');
    is($member->sysread($buffer, 10), 0, '0 at the end');
    is($buffer, '', 'and an empty buffer');
    is($member->sysread('constant', 10), undef, 'a read-only buffer');
    is($member->sysread($buffer, -1), undef, 'a negative length');

    my $kept = do {
        my $other = LMX::Common::Archive::Zip->new($three);
        $other->open('META-INF/MANIFEST.MF');
    };
    is($kept->read, $manifest, 'a member keeps its archive alive');
};

subtest 'archives of Info-ZIP zip and Python zipfile' => sub {
    my %files = ('a.pm' => "package a;\n1;\n", 'sub/b.txt' => 'b' x 70000,
                 'sub/deeper/c.bin' => join('', map { chr } 0 .. 255) x 40, 'empty' => '');
    my $tree = make_tree(temp_dir(), %files);
    for my $options ([], ['-0'], ['-9'], ['-D']) {
        my $archive = info_zip($tree, "$dir/tree@$options.zip", ['-r', @$options], '.');
        my $zip = LMX::Common::Archive::Zip->new($archive);
        for my $name (sort keys %files) {
            my $member = $zip->open("./$name") || $zip->open($name);
            is($member && $member->read, $files{$name}, "zip -r @$options: $name");
        }
        ok($options->[0] && $options->[0] eq '-D' ? !$zip->open('sub/') : $zip->open('sub/'),
           "zip -r @$options: the directory entry");
    }
    my $streamed = "$dir/streamed.zip";
    open(my $pipe, '|-', "zip -q '$streamed' -") or die;
    print {$pipe} "from standard input\n";
    close $pipe;
    is(LMX::Common::Archive::Zip->new($streamed)->open('-')->read, "from standard input\n",
       'an entry with a data descriptor');

    my $zip = LMX::Common::Archive::Zip->new($py);
    is($zip->open('dir/x')->read, 'x' x 100, 'a stored entry with zip64 fields');
    is($zip->open('dir/y')->read, 'y' x 100, 'a deflated one');
    is($zip->open('dir/')->read, '', 'a directory entry reads empty');
};

subtest 'a corrupted checksum' => sub {
    patch_central($bad, 1, {16 => 0x12345678}, local => 1);
    my $zip = LMX::Common::Archive::Zip->new($bad);
    my $member = $zip->open('bad');
    is($member->read, 'bad data' x 10, 'the data is read');
    is($member->close, undef, 'close reports the checksum error');
    is($member->close, undef, 'the member stays, its entry closed');
    undef $member;
    $member = $zip->open('bad');
    my $buffer;
    $member->sysread($buffer, 5);
    is($member->close, 0, 'an entry read only in part is not checked');
    is($zip->open('good')->close, 0, 'other entries are fine');
};

subtest 'many entries' => sub {
    my $zip = LMX::Common::Archive::Zip->new($many);
    is($zip->open('pkg/file02999.pm')->read, "2999\n", 'the last entry');
    is($zip->open('pkg/file00000.pm')->read, "0\n", 'the first one');
    is($zip->open('pkg/file01500.pm')->read, "1500\n", 'one in the middle');
    is($zip->open('pkg/file03000.pm'), undef, 'one past the end');
    is($zip->open->read, "2999\n", 'the last entry is current after a failed lookup');
};

subtest 'a zip64 entry over 4 GiB' => sub {
    my $big = zip64_zeros("$dir/big.zip", 'zeros', 4097);
    my $zip = LMX::Common::Archive::Zip->new($big);
    my $member = $zip->open('zeros');
    ok($member, 'found');
    my $buffer;
    is($member->sysread($buffer, 1 << 16), 1 << 16, 'sysread of the start');
    is($buffer, "\0" x (1 << 16), 'zeros');
    is($member->sysread($buffer, 5), 5, 'the stream goes on');
    is($member->read, undef, 'the whole rest is more than one read may hold');
    is($member->close, 0, 'the entry closes');
};

finish();
