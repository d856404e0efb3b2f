# KALDOR::Install::Untgz on damaged and hostile archives: gzip trailers,
# header checksums, number fields, pax records and the ustar prefix, data
# read twice, links in the destination, implied directories and files that
# are no archives.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file read_file make_tree gnu_tar);
use LmxTest::Untgz qw(tar_entry tar_end pax_entry base256 gzip_bytes walk extract_all);

bootstrap KALDOR::Install::Untgz;

umask 022;
my $tmp = temp_dir();

sub archive {
    my ($name, @entries) = @_;
    return write_file("$tmp/$name", join('', @entries, tar_end()));
}

# GNU tar's listing of an archive in the form of ours.
sub tar_names { my ($archive) = @_; return [map { chomp; $_ } `tar -tf $archive`] }

subtest 'the gzip trailer is checked after the end blocks' => sub {
    my $tgz = read_file(write_file("$tmp/sound.tgz", gzip_bytes(
        tar_entry('one', '1' x 3000) . tar_entry('two', '2') . tar_end())));
    for my $cut (1, 8) {
        my $path = write_file("$tmp/cut$cut.tgz", substr($tgz, 0, -$cut));
        my ($lines, $errors) = walk($path);
        is(scalar @$lines, 2, "a trailer cut by $cut bytes: both entries");
        is_deeply($errors, ["unexpected end of archive $path"], 'then the end is an error');
    }
    my $crc = $tgz;
    substr($crc, -7, 1) = chr(ord(substr($crc, -7, 1)) ^ 1);
    my $path = write_file("$tmp/crc.tgz", $crc);
    is_deeply((walk($path))[1], ["cannot read form archive $path", 'incorrect data check'],
              'a CRC mismatch is a read error');
    is_deeply((walk("$tmp/sound.tgz"))[1], [], 'a sound archive ends without a text');
    my $sound = KALDOR::Install::Untgz::new();
    $sound->Open("$tmp/sound.tgz");
    1 while defined $sound->Next();
    is_deeply([$sound->Next(), $sound->GetErr()], [undef], 'Next after the end stays silent');
};

subtest 'headers are checked as GNU tar checks them' => sub {
    my $flip = read_file(archive('flip.tar', tar_entry('first', 'f'), tar_entry('flip.txt', 'x')));
    substr($flip, 1024, 1) = 'F';
    my $path = write_file("$tmp/flipped.tar", $flip);
    system("tar -tf $path >/dev/null 2>&1");
    isnt($? >> 8, 0, 'GNU tar refuses the altered header too');
    my ($lines, $errors) = walk($path);
    is(scalar @$lines, 1, 'the entry before it is listed');
    is_deeply($errors, ["cannot read from archive $path", 'bad header checksum'],
              'the altered one is refused, not listed as Flip.txt');
    my $zeroed = tar_entry('zeroed', 'z');
    substr($zeroed, 148, 8) = "\0" x 8;
    is_deeply((walk(archive('zeroed.tar', $zeroed)))[1],
              ["cannot read from archive $tmp/zeroed.tar", 'bad header checksum'], 'a zeroed checksum');

    my $b256 = archive('base256.tar', tar_entry('six', 's' x 600, size => base256(600)),
                       tar_entry('next', 'n'));
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($b256);
    my @six = $u->Next();
    is($six[1], 600, 'a base-256 size is 600');
    $u->ExtractScalar(my $data);
    is($data, 's' x 600, 'its data');
    is(($u->Next())[3], 'next', 'the walk stays in step');
    for my $field ("00000000099\0", '0000000012a') {
        my $bad = archive('octal.tar', tar_entry('bad', 'b', size => $field));
        is_deeply((walk($bad))[1], ["cannot read from archive $bad", 'bad number in header'],
                  "a size of '$field' is refused" =~ s/\0//r);
    }
};

subtest 'names from pax records and the ustar prefix' => sub {
    my $long = 'deep/' . ('d' x 120) . '/file.txt';
    my $split = join('/', ('part') x 25) . '/leaf.txt';
    my $src = make_tree(temp_dir(), $long => 'long', $split => 'split');
    for my $format ('posix', 'ustar') {
        my $member = $format eq 'posix' ? $long : $split;
        my $archive = gnu_tar($src, "$tmp/$format.tar", ["--format=$format"], $member);
        my ($lines) = walk($archive);
        is_deeply([map { (split ' ', $_, 5)[4] } @$lines], tar_names($archive),
                  "--format=$format: the names GNU tar lists");
        my $dest = temp_dir();
        extract_all($archive, $dest);
        is(read_file("$dest/$member"), $format eq 'posix' ? 'long' : 'split',
           'extracted under the whole name');
    }
    my $py = "$tmp/py.tar";
    system('python3', '-c', <<'PY', $py, "py/" . ('n' x 150) . '.txt') == 0 or die;
import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.PAX_FORMAT) as tar:
    info = tarfile.TarInfo(sys.argv[2]); info.size = 2; info.mtime = 1262401445
    tar.addfile(info, io.BytesIO(b"py"))
PY
    my $dest = temp_dir();
    my (undef, $results) = extract_all($py, $dest);
    is_deeply($results->[0], ['py/' . ('n' x 150) . '.txt', 0, []], "Python's pax archive");
    is((stat "$dest/py/" . ('n' x 150) . '.txt')[9], 1262401445, 'with its time');

    my $records = archive('records.tar',
        pax_entry(path => '../escaped', size => 3), tar_entry('harmless', 'abc', size => 0),
        pax_entry(path => 'sized', mtime => '1000000000.75'), tar_entry('x', 'z' x 700),
        tar_entry('after', 'a'));
    my $out = temp_dir() . '/dest';
    (undef, $results) = extract_all($records, $out);
    is_deeply($results->[0], ['../escaped', -1, ['cannot extract ../escaped',
                                                'the name leads out of the destination directory']],
              'a pax path with ".." is refused like any name');
    ok(!-e "$out/../escaped" && !-e "$out/harmless", 'nothing written for it');
    is_deeply([read_file("$out/sized"), (stat "$out/sized")[9]], ['z' x 700, 1000000000],
              'pax path and time; the walk stays in step');
    is(read_file("$out/after"), 'a', 'the next entry has its own name');
};

subtest 'backslash names get their parent directories' => sub {
    my $dest = temp_dir();
    my (undef, $results) =
      extract_all(archive('win.tar', tar_entry('win\\sub\\file.txt', 'w')), $dest);
    is_deeply($results->[0], ['win\\sub\\file.txt', 0, []], 'extracted');
    is(read_file("$dest/win/sub/file.txt"), 'w', 'below win/sub');
};

subtest 'data that was read already is not extracted again' => sub {
    my $dest = temp_dir();
    my $archive = archive('twice.tar', tar_entry('big', 'B' x 3000), tar_entry('part', 'P' x 700));
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($archive);
    $u->SetDestDir($dest);
    $u->Next();
    is($u->ExtractFile(), 0, 'the first extraction');
    is_deeply([$u->ExtractFile(), $u->GetErr()],
              [-1, 'cannot extract big', 'the data of the entry was read already'], 'a second fails');
    is(-s "$dest/big", 3000, 'and leaves the file whole');
    $u->Next();
    $u->ExtractRead(my $buffer);
    is($u->ExtractFile(), -1, 'ExtractFile after ExtractRead fails');
    ok(!-e "$dest/part", 'and writes nothing');
};

subtest 'links in the destination that lead out of it are not followed' => sub {
    my $dest = temp_dir();
    my $elsewhere = temp_dir();
    symlink $elsewhere, "$dest/planted" or die;
    mkdir "$dest/real";
    symlink "$dest/real", "$dest/inside" or die;
    my $archive = archive('planted.tar', tar_entry('planted/file', 'evil'),
                          tar_entry('planted/sub/', '', type => '5'),
                          tar_entry('inside/file', 'fine'));
    for my $test_run (1, 0) {
        my (undef, $results) = extract_all($archive, $dest, $test_run);
        is_deeply([@$results[0, 1]],
                  [['planted/file', -1, ['cannot extract planted/file',
                                        'the name leads out of the destination directory']],
                   ['planted/sub/', -1, ["cannot make directory $dest/planted/sub/",
                                        'the name leads out of the destination directory']]],
                  "refused (test run: $test_run)");
        is($results->[2][1], 0, 'a link that stays inside is followed');
        is_deeply([glob("$elsewhere/*")], [], 'nothing was created where the link points');
    }
    is(read_file("$dest/real/file"), 'fine', 'the file below the inner link');
};

subtest 'implied directories and files that are no archives' => sub {
    my $dest = temp_dir();
    my (undef, $results) = extract_all(archive('modes.tar', tar_entry('locked/deep/file', 'x', mode => 0),
                                      tar_entry('locked/deep/more', 'y', mode => 0644)), $dest);
    is_deeply([map { $_->[1] } @$results[0, 1]], [0, 0], 'a mode 0 entry and one beside it');
    is(sprintf('%o', (stat "$dest/locked/deep")[2] & 07777), '755', 'the implied directories');
    is(read_file("$dest/locked/deep/more"), 'y', 'can be written below');

    my $fifo = "$tmp/fifo";
    system('mkfifo', $fifo) == 0 or die "mkfifo failed\n";
    my $u = KALDOR::Install::Untgz::new();
    is_deeply([$u->Open($fifo), $u->GetErr()], [undef, "cannot open archive $fifo", 'not a regular file'],
              'a FIFO is refused without blocking');
};

finish();
