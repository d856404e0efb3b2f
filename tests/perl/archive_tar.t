# The tar.gz reader: walking, opening and streaming members of archives
# made by GNU tar and Python's tarfile, and bad input of every kind.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file read_file make_tree gnu_tar python_tar);
use LmxTest::Untgz qw(tar_entry tar_end pax_entry base256 gzip_bytes);

my $dir = temp_dir();

sub members {
    my ($archive) = @_;
    my $tar = LMX::Common::Archive::Tar->new($archive) or return undef;
    my @names;
    while (defined(my $name = $tar->read)) { push @names, $name }
    return \@names;
}

my $src = make_tree(temp_dir(), 'a.pm' => "package a;\n1;\n", 'b/c.pm' => 'C' x 1000);
my $gnu = gnu_tar($src, "$dir/gnu.tgz", ['-z', '--format=gnu'], 'a.pm', 'b', 'b/c.pm');

subtest 'walk and read' => sub {
    is_deeply(members($gnu), ['a.pm', 'b/c.pm'], 'regular members in order, the directory skipped');
    my $tar = LMX::Common::Archive::Tar->new($gnu);
    isa_ok($tar, 'LMX::Common::Archive::Tar');
    is($tar->read, 'a.pm', 'first member');
    my $member = $tar->open('a.pm');
    isa_ok($member, 'LMX::Common::Archive::Tar::File');
    is($member->read, "package a;\n1;\n", 'open of the current member reads its data');
    is($member->read, '', 'nothing is left');
    is($tar->read, 'b/c.pm', 'the next member follows');
    is($tar->read, undef, 'end of the archive');
    is($tar->read, undef, 'and it stays there');
    is($tar->rewind, 0, 'rewind returns 0');
    is($tar->read, 'a.pm', 'rewind starts again');
};

subtest 'open by name scans from the start' => sub {
    my $tar = LMX::Common::Archive::Tar->new($gnu);
    my $member = $tar->open('b/c.pm');
    ok($member, 'found after new');
    is($member->read, 'C' x 1000, 'its data');
    is($tar->open('nope.pm'), undef, 'a missing name');
    is($tar->open(''), undef, 'an empty name');
    ok($tar->open('b/'), 'entries of any type can be opened');
    is($tar->read, 'b/c.pm', 'the walk goes on after the opened entry');
};

subtest 'partial reads, sysread and sysseek' => sub {
    my $tar = LMX::Common::Archive::Tar->new($gnu);
    $tar->read;
    $tar->read;
    my $member = $tar->open('b/c.pm');
    is($member->sysseek(0, 1), 0, 'a fresh member is at 0');
    is($member->sysseek(5, 0), -1, 'seeks that move are refused');
    my $buffer = 'old content';
    is($member->sysread($buffer, 100), 100, 'sysread of part of the member');
    is($buffer, 'C' x 100, 'the buffer holds exactly the bytes read');
    is($member->sysseek(100, 0), 100, 'the count of delivered bytes');
    is($member->sysseek(0, 1), 100, 'the current position');
    is(length $member->read, 900, 'read returns the rest');
    is($member->sysseek(0, 1), 100, 'read does not change the count');
    is($member->sysread($buffer, 10), 0, '0 at the end');
    is($buffer, '', 'an empty buffer');
    is($member->sysread('constant', 10), undef, 'a read-only buffer');
    is($member->sysread($buffer), undef, 'a wrong argument count');
    is($tar->read, undef, 'the walk is not disturbed');

    $tar->rewind;
    $tar->read;
    $member = $tar->open('a.pm');
    is($member->sysread($buffer, 3), 3, 'a member read in part');
    is($tar->read, 'b/c.pm', 'the next read still finds the following member');

    my $small = gnu_tar(make_tree(temp_dir(), 'four' => 'abcd'), "$dir/four.tgz", ['-z'], 'four');
    $tar = LMX::Common::Archive::Tar->new($small);
    $tar->read;
    $member = $tar->open('four');
    is($member->sysread($buffer, 10), 4, 'length 10 on a 4-byte member gives 4');
    is($member->sysread($buffer, 10), 0, 'then 0');
    is($member->close, 0, 'close returns 0');
    is($member->read, undef, 'a closed member answers undef');
    is($member->close, undef, 'also to a second close');
};

subtest 'a member keeps its archive alive' => sub {
    my $member = do {
        my $tar = LMX::Common::Archive::Tar->new($gnu);
        $tar->read;
        $tar->open('a.pm');
    };
    is($member->read, "package a;\n1;\n", 'readable after the archive object went out of scope');
};

subtest 'formats and writers' => sub {
    my $long = 'd/' . ('x' x 150) . '.pm';
    my $tree = make_tree(temp_dir(), $long => 'long', 'short.pm' => 'short');
    my $gnu_long = gnu_tar($tree, "$dir/long.tgz", ['-z', '--format=gnu'], 'd', 'short.pm');
    is_deeply(members($gnu_long), [substr($long, 0, 100), 'short.pm'],
              'a GNU long name is skipped; the member has the name in its own header');

    my $hundred = 'n' x 100;
    my $exact = make_tree(temp_dir(), $hundred => 'exactly');
    my $ustar = gnu_tar($exact, "$dir/hundred.tar", ['--format=ustar'], $hundred);
    is_deeply(members($ustar), [$hundred], 'a 100-byte name, from an uncompressed ustar file');
    my $tar = LMX::Common::Archive::Tar->new($ustar);
    $tar->read;
    is($tar->open($hundred)->read, 'exactly', 'its data');

    my $posix = gnu_tar($tree, "$dir/posix.tgz", ['-z', '--format=posix'], 'short.pm', 'd');
    is_deeply(members($posix), ['short.pm', $long], 'a pax path names the member after it');

    my $py = python_tar("$dir/py.tgz", 'w:gz', ['m/one.pm', "1;\n"], ['m/', undef],
                        ['./dot.pm', 'dot'], ['empty.pm', '']);
    is_deeply(members($py), ['m/one.pm', './dot.pm', 'empty.pm'], "Python's tarfile");
    $tar = LMX::Common::Archive::Tar->new($py);
    is($tar->open('empty.pm')->read, '', 'an empty member');
    is($tar->open('dot.pm'), undef, 'a "./" member keeps its prefix');
    is($tar->open('./dot.pm')->read, 'dot', 'and is found by its stored name');
};

subtest 'constructor arguments' => sub {
    @My::Class::ISA = ('LMX::Common::Archive::Tar');
    my $tar = LMX::Common::Archive::Tar::new('My::Class', $gnu);
    is(ref $tar, 'My::Class', 'a class given first');
    is($tar->read, 'a.pm', 'a subclass reads');
    is(ref LMX::Common::Archive::Tar::new('', $gnu), 'LMX::Common::Archive::Tar',
       'an empty class name gives the reader class');
    is(ref LMX::Common::Archive::Tar::new($gnu), 'LMX::Common::Archive::Tar', 'path alone');
    is(LMX::Common::Archive::Tar::new(), undef, 'no arguments');
    is(LMX::Common::Archive::Tar::new('a', 'b', 'c'), undef, 'three arguments');
    is(LMX::Common::Archive::Tar->new(''), undef, 'an empty path');
    is(LMX::Common::Archive::Tar->new($dir), undef, 'a directory');
    is(LMX::Common::Archive::Tar->new("$dir/missing.tgz"), undef, 'a missing file');
    is(LMX::Common::Archive::Tar::read(bless {}, 'X'), undef, 'an object without record');
    is(LMX::Common::Archive::Tar::read('text'), undef, 'not an object');
    is(LMX::Common::Archive::Tar::read(bless [], 'X'), undef, 'not a hash');
};

subtest 'bad input' => sub {
    my $data = read_file($gnu);
    write_file("$dir/empty.tgz", '');
    is(LMX::Common::Archive::Tar->new("$dir/empty.tgz"), undef, 'an empty file');
    write_file("$dir/zip.zip", "PK\003\004" . ("\0" x 600));
    is(LMX::Common::Archive::Tar->new("$dir/zip.zip"), undef, 'no ustar magic (a zip file)');
    write_file("$dir/short.tgz", substr($data, 0, 40));
    is(LMX::Common::Archive::Tar->new("$dir/short.tgz"), undef, 'shorter than one block');

    # An uncompressed archive cut in the middle of the second member.
    my $plain = gnu_tar($src, "$dir/plain.tar", [], 'a.pm', 'b/c.pm');
    my $bytes = read_file($plain);
    write_file("$dir/cut.tar", substr($bytes, 0, 1024 + 512 + 300));
    my $tar = LMX::Common::Archive::Tar->new("$dir/cut.tar");
    is($tar->read, 'a.pm', 'the first member of a truncated archive');
    is($tar->read, 'b/c.pm', 'the second header');
    is(length($tar->open('b/c.pm')->read), 300, 'what is there of its data');
    is($tar->read, undef, 'the early end is the end');

    write_file("$dir/noend.tar", substr($bytes, 0, 1024));
    is_deeply(members("$dir/noend.tar"), ['a.pm'], 'no zero block at the end');

    # A header that is not one closes the archive for good.
    my $broken = $bytes;
    substr($broken, 1024 + 257, 5) = 'xxxxx';
    write_file("$dir/broken.tar", $broken);
    $tar = LMX::Common::Archive::Tar->new("$dir/broken.tar");
    is($tar->read, 'a.pm', 'the member before the bad header');
    is($tar->read, undef, 'the bad header');
    is($tar->rewind, 0, 'rewind still answers 0');
    is($tar->read, undef, 'but the archive stays closed');
    is($tar->open('a.pm'), undef, 'and nothing can be opened');

    # Size fields that claim too much, too little or nonsense, each with a
    # valid checksum.
    my %sizes = ("77777777777\0" => 'reported', "\0" . ('7' x 11) => 'reported',
                 "\x80\0\0\0\0\0\0\0\0\0\1\0" => 'reported', '!!!!!!!!!!!!' => 'refused',
                 "\xff" x 12 => 'refused');
    for my $size (sort keys %sizes) {
        my $odd = $bytes;
        substr($odd, 124, 12) = $size;
        substr($odd, 148, 8) = ' ' x 8;
        my $sum = unpack('%32C*', substr($odd, 0, 512));
        substr($odd, 148, 8) = sprintf("%06o\0 ", $sum);
        write_file("$dir/size.tar", $odd);
        my $t = LMX::Common::Archive::Tar->new("$dir/size.tar");
        my $name = $t->read;
        if ($sizes{$size} eq 'refused') {
            is($name, undef, 'a size field that is no number is refused');
            is($t->error, 'bad number in header', 'and named');
            next;
        }
        is($name, 'a.pm', 'a member with an odd size field is reported');
        my $got = $t->open('a.pm')->read;
        ok(!defined $got || length($got) <= length($odd), 'its data is bounded by the file');
        $t->read for 1 .. 3;
        pass('walking on does not crash');
    }

    srand(7);
    for my $round (1 .. 40) {
        my $noise = join '', map { chr(int rand 256) } 1 .. (512 + int rand 4000);
        substr($noise, 257, 5) = 'ustar' if $round % 2;
        write_file("$dir/noise.tar", $noise);
        my $t = LMX::Common::Archive::Tar->new("$dir/noise.tar");
        next unless $t;
        while (defined(my $n = $t->read)) { my $m = $t->open($n); $m->read if $m }
    }
    pass('random input walked without a crash');
};

# The names of the members and the fault that ended the walk.
sub walk_with_error {
    my ($archive) = @_;
    my $tar = LMX::Common::Archive::Tar->new($archive) or return undef;
    my @names;
    while (defined(my $name = $tar->read)) {
        my $data = $tar->open($name)->read;
        push @names, defined $data ? "$name:" . length $data : "$name:undef";
    }
    return [@names, $tar->error];
}

subtest 'damaged archives say what ended the walk' => sub {
    my $tgz = read_file($gnu);
    is_deeply(walk_with_error($gnu), ['a.pm:14', 'b/c.pm:1000', undef], 'a sound archive');
    for my $cut (1, 4, 8) {
        my $path = write_file("$dir/cut$cut.tgz", substr($tgz, 0, -$cut));
        is_deeply(walk_with_error($path), ['a.pm:14', 'b/c.pm:1000', 'unexpected end of archive'],
                  "the gzip trailer cut by $cut bytes");
    }
    for ([-8, 'incorrect data check'], [-1, 'incorrect length check']) {
        my ($at, $text) = @$_;
        my $bad = $tgz;
        substr($bad, $at, 1) = chr(ord(substr($bad, $at, 1)) ^ 1);
        is_deeply(walk_with_error(write_file("$dir/crc.tgz", $bad)), [$text],
                  "a trailer that does not match: $text");
    }
    my $cut = write_file("$dir/cutdata.tgz", gzip_bytes(substr(read_file(
        gnu_tar($src, "$dir/whole.tar", [], 'b/c.pm')), 0, 512 + 700)));
    is_deeply(walk_with_error($cut), ['b/c.pm:700', 'unexpected end of archive in the data of b/c.pm'],
              'an archive cut inside a member names the member');

    my $flipped = tar_entry('a.pm', 'A') . tar_entry('flip.txt', 'F') . tar_end();
    substr($flipped, 512 * 2, 1) = 'F';    # "Flip.txt", the checksum left as it was
    is_deeply(walk_with_error(write_file("$dir/flip.tar", $flipped)),
              ['a.pm:1', 'bad header checksum after a.pm'], 'an altered header is refused');
    my $zeroed = tar_entry('a.pm', 'A');
    substr($zeroed, 148, 8) = "\0" x 8;
    is_deeply(walk_with_error(write_file("$dir/zero.tar", $zeroed . tar_end())),
              ['bad header checksum'], 'so is a zeroed checksum');
};

subtest 'names and sizes from pax records, the ustar prefix and base-256' => sub {
    my $deep = join('/', ('dir') x 30) . '/Mod.pm';    # 127 bytes: prefix and name
    my $ustar = gnu_tar(make_tree(temp_dir(), $deep => 'deep'), "$dir/prefix.tar",
                        ['--format=ustar'], $deep);
    is_deeply(walk_with_error($ustar), [map("$_:4", grep { !m{/$} } $deep), undef],
              'a name split into the ustar prefix is whole');
    my $archive = write_file("$dir/pax.tar", join '',
        pax_entry(path => 'long/' . ('p' x 200) . '.pm', mtime => '1.5'),
        tar_entry('short-name', 'PAX'),
        pax_entry(size => 600), tar_entry('sized', 's' x 600, size => 0),
        tar_entry('big', 'b' x 600, size => base256(600)),
        tar_entry('after', 'x'), tar_end());
    is_deeply(walk_with_error($archive),
              ['long/' . ('p' x 200) . '.pm:3', 'sized:600', 'big:600', 'after:1', undef],
              'pax path and size; a base-256 size; the walk stays in step');
    my $tar = LMX::Common::Archive::Tar->new($archive);
    is($tar->open('long/' . ('p' x 200) . '.pm')->read, 'PAX', 'open finds the pax name');
    is($tar->open('short-name'), undef, 'not the header name');
};

subtest 'only a plain file is an archive' => sub {
    my $fifo = "$dir/fifo";
    system('mkfifo', $fifo) == 0 or die "mkfifo failed\n";
    is(LMX::Common::Archive::Tar->new($fifo), undef, 'a FIFO is refused without blocking');
};

finish();
