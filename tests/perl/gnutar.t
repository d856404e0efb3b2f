# KALDOR::Install::GnuTar: the header blocks byte for byte, the refusals
# that write nothing, external compressors, and archives that GNU tar,
# bsdtar, Python's tarfile and this system's extractor all read back as
# the tree that was written.
use strict;
use warnings;
use Test::More;
use File::Find qw(find);
use File::Path qw(make_path);
use File::Temp qw(tempdir);
use POSIX qw(mkfifo);
use LmxTest qw(finish temp_dir write_file read_file);

bootstrap KALDOR::Install::GnuTar;
bootstrap KALDOR::Install::Untgz;

umask 022;
my $tmp = temp_dir();
chdir $tmp or die "chdir $tmp: $!\n";    # the runtime starts in its own directory
my $serial = 0;

sub archive_path { return sprintf '%s/archive%03d.%s', $tmp, ++$serial, $_[0] || 'tgz' }

# Writes an archive: $fill->($tar) adds the entries; returns the path and
# the result of CloseArchive.
sub write_archive {
    my ($fill, %o) = @_;
    my $path = archive_path($o{suffix});
    my $tar = KALDOR::Install::GnuTar->new;
    $tar->setCompressor(@{ $o{compressor} }) if $o{compressor};
    is($tar->OpenArchive($path, 'w', defined $o{mask} ? $o{mask} : ()), 0, "open $path")
      or return ($path, undef);
    $fill->($tar);
    return ($path, $tar->CloseArchive);
}

sub gunzip {
    my ($path) = @_;
    my $bytes = `gzip -dc '$path'`;
    die "gzip -dc $path failed\n" if $?;
    return $bytes;
}

sub block { return substr($_[0], 512 * $_[1], 512) }

# The header fields of one block.
sub fields {
    my ($b) = @_;
    my %f;
    @f{qw(name mode uid gid size mtime checksum type link magic version uname gname)} =
      unpack('a100 a8 a8 a8 a12 a12 a8 a1 a100 a6 a2 a32 a32', $b);
    return \%f;
}

sub checksum_ok {
    my ($b) = @_;
    my $sum = 0;
    $sum += $_ for unpack('C*', substr($b, 0, 148) . (' ' x 8) . substr($b, 156));
    return fields($b)->{checksum} eq sprintf("%07o\0", $sum);
}

subtest 'header blocks byte for byte' => sub {
    my $data = join '', map { chr(65 + $_ % 26) } 0 .. 999;
    write_file("$tmp/in.txt", $data);
    chmod 0644, "$tmp/in.txt";
    utime 1262401445, 1262401445, "$tmp/in.txt";
    make_path("$tmp/dir");
    my $long = join '/', ('n' x 49) x 3;    # 149 characters
    $long .= 'x';
    my ($path, $closed) = write_archive(sub {
        my ($tar) = @_;
        is($tar->Add('in.txt'), 0, 'Add of a 1000-byte file');
        is($tar->Add('dir'), 0, 'Add of a directory');
        is($tar->Add('in.txt', $long), 0, 'Add under a 150-character name');
        is($tar->Add('in.txt', 'back\\slash\\name'), 0, 'Add under a name with backslashes');
    });
    is($closed, 0, 'CloseArchive');
    is(unpack('x8 C', read_file($path)), 2, 'the gzip stream is written at the highest level');
    my $bytes = gunzip($path);
    is(length $bytes, 512 * (3 + 1 + 5 + 3 + 2), 'headers, data blocks and two end blocks');
    my $file = fields(block($bytes, 0));
    is($file->{name}, "in.txt" . ("\0" x 94), 'name, NUL-padded');
    is($file->{size}, "00000001750\0", 'size field');
    is($file->{mode}, "0000644\0", 'mode field');
    is($file->{mtime}, sprintf("%011o\0", 1262401445), 'mtime field');
    is($file->{uid}, sprintf("%07o\0", $<), 'uid from the file status');
    is($file->{type}, '0', 'typeflag 0');
    is("$file->{magic}$file->{version}", "ustar\0" . "0\0", 'magic and version');
    is($file->{uname}, 'tar' . ("\0" x 29), 'uname');
    ok(checksum_ok(block($bytes, 0)), 'checksum of the header, ending in a NUL');
    is(block($bytes, 1) . substr(block($bytes, 2), 0, 488), $data, 'the data');
    is(substr(block($bytes, 2), 488), "\0" x 24, 'the last data block padded with zeros');

    my $dir = fields(block($bytes, 3));
    is($dir->{type}, '5', 'directory typeflag');
    is($dir->{size}, "00000000000\0", 'directory size');
    is($dir->{mode}, "0000755\0", 'directory mode');

    my $link = fields(block($bytes, 4));
    is(substr($link->{name}, 0, 14), "././\@LongLink\0", 'long-name header');
    is("$link->{size} $link->{type} $link->{mode} $link->{uid} $link->{mtime}",
       "00000000227\0 L 0000000\0 0000000\0 00000000000\0", 'its size, type, mode, uid and mtime');
    ok(checksum_ok(block($bytes, 4)), 'its checksum');
    is(block($bytes, 5), $long . ("\0" x (512 - 150)), 'one name block with the NUL');
    is(fields(block($bytes, 6))->{name}, substr($long, 0, 100),
       'entry name: 100 characters, no NUL');
    is(fields(block($bytes, 9))->{name}, "back/slash/name" . ("\0" x 85), 'backslashes as slashes');
    is(substr($bytes, -1024), "\0" x 1024, 'two end blocks');
};

subtest 'permission masks and modes' => sub {
    write_file("$tmp/m644", 'x');
    chmod 0644, "$tmp/m644";
    write_file("$tmp/m4755", 'x');
    chmod 04755, "$tmp/m4755";
    for my $case ([022, 'm644', undef, "0000644\0"], [066, 'm644', undef, "0000600\0"],
                  [0, 'm4755', undef, "0004755\0"], [077, 'm4755', undef, "0004700\0"],
                  [066, 'm644', 0751, "0000751\0"], [022, 'm644', 0, "0000644\0"]) {
        my ($mask, $file, $mode, $expected) = @$case;
        my @mode = defined $mode ? ($mode) : ();
        my ($path) = write_archive(sub { $_[0]->Add($file, undef, undef, @mode) }, mask => $mask);
        is(fields(block(gunzip($path), 0))->{mode}, $expected,
           sprintf('mask %03o, %s, mode argument %s', $mask, $file,
                   @mode ? sprintf('%o', $mode) : 'none'));
    }
};

subtest 'AddScalar and AddLink' => sub {
    my ($path, $closed) = write_archive(sub {
        my ($tar) = @_;
        is($tar->AddScalar('n' x 100, 'data'), undef, 'AddScalar with a 100-character name');
        is($tar->AddScalar('empty', ''), undef, 'AddScalar with empty data');
        is($tar->AddScalar('nul', "\0data"), undef, 'AddScalar with data that begins with a NUL');
        is($tar->AddScalar('', 'data'), undef, 'AddScalar with an empty name');
        is($tar->AddLink('l' x 100, 'target'), undef, 'AddLink with a 100-character name');
        is($tar->AddLink('link', 't' x 100), undef, 'AddLink with a 100-character target');
        is($tar->AddLink('link', ''), undef, 'AddLink with an empty target');
        is($tar->AddScalar('s' x 99, "text\0cut"), 0, 'AddScalar with a 99-character name');
        is($tar->AddScalar('big', 'b' x 1300), 0, 'AddScalar over three blocks');
        is($tar->AddLink('dir\\link', 't' x 99), 0, 'AddLink with a 99-character target');
    });
    is($closed, 0, 'closed');
    my $bytes = gunzip($path);
    is(length $bytes, 512 * (2 + 4 + 1 + 2), 'only the accepted entries were written');
    my $scalar = fields(block($bytes, 0));
    is("$scalar->{mode} $scalar->{uid} $scalar->{gid} $scalar->{size} $scalar->{version}",
       "0000440\0 0000765\0 0000765\0 00000000004\0 00", 'AddScalar header');
    ok(abs(oct(substr($scalar->{mtime}, 0, 11)) - time) < 60, 'AddScalar stores the current time');
    is(substr(block($bytes, 1), 0, 5), "text\0", 'the data ends at its first NUL');
    is(substr(block($bytes, 5), 0, 276 + 1), ('b' x 276) . "\0", 'the rest in a padded block');
    my $link = fields(block($bytes, 6));
    is("$link->{name}", "dir/link" . ("\0" x 92), 'link name with slashes');
    is("$link->{mode} $link->{type} $link->{size} $link->{version}",
       "0000777\0 2 00000000000\0 0\0", 'AddLink header');
    is($link->{uid} . $link->{gid}, "\0" x 16, 'no owner in a link');
    is($link->{link}, ('t' x 99) . "\0", 'link target');
    ok(checksum_ok(block($bytes, $_)), "checksum of header $_") for 0, 2, 6;
};

subtest 'refusals write nothing' => sub {
    write_file("$tmp/ok", 'ok');
    symlink('t' x 100, "$tmp/longlink") or die;
    my ($path, $closed) = write_archive(sub {
        my ($tar) = @_;
        is($tar->Add(''), undef, 'empty path');
        is($tar->Add('ok', ''), undef, 'empty entry name');
        is($tar->Add("$tmp/missing"), undef, 'missing file');
        is($tar->Add('longlink'), undef, 'a link whose target does not fit');
        is($tar->OpenArchive(archive_path(), 'w'), undef, 'OpenArchive while open');
        is($tar->Add('ok'), 0, 'the open archive goes on');
        is($tar->Add('ok', 'x', 'y', 0, 'extra'), undef, 'six arguments');
    });
    is($closed, 0, 'closed');
    is(length gunzip($path), 512 * 4, 'one entry in the archive');

    my $tar = KALDOR::Install::GnuTar->new;
    is($tar->Add('ok'), undef, 'Add before OpenArchive');
    is($tar->OpenArchive(''), undef, 'empty archive path');
    is($tar->OpenArchive(archive_path(), 'x'), undef, 'unknown mode');
    is($tar->OpenArchive("$tmp/missing.tgz"), undef, 'reading a missing archive');
    is($tar->OpenArchive($path, 'r'), 0, 'reading an archive');
    is($tar->Add('ok'), undef, 'Add on an archive opened for reading');
    $tar->CloseArchive;
    is(length gunzip($path), 512 * 4, 'the archive read is unchanged');
    $tar->setCompressor('xz', ['-c']);
    is($tar->OpenArchive($path, 'r'), undef, 'reading through a compressor is refused');
    is(length gunzip($path), 512 * 4, 'and leaves the archive alone');
    is(KALDOR::Install::GnuTar->new('One', 'Two'), undef, 'new with two arguments');
    is(ref KALDOR::Install::GnuTar::new(), 'KALDOR::Install::GnuTar', 'new without a class');
    is(ref KALDOR::Install::GnuTar::new(''), 'KALDOR::Install::GnuTar', 'new with an empty class');
    is(KALDOR::Install::GnuTar::Add(bless({obj => 1}, 'KALDOR::Install::GnuTar'), 'ok'), undef,
       'a forged object');
};

subtest 'files that are not regular, and files that change while they are copied' => sub {
    make_path("$tmp/special");
    mkfifo("$tmp/special/fifo", 0640) or die "mkfifo: $!\n";
    symlink('../in.txt', "$tmp/special/link") or die;
    write_file("$tmp/special/after", 'after');
    # /proc files declare size 0 and have content; sysfs attributes declare
    # a whole page and hold less.
    my ($short) = grep { -f && -r && (-s) == 4096 && length(read_file($_)) < 4096 }
      glob('/sys/kernel/mm/transparent_hugepage/* /sys/kernel/*');
    my ($path, $closed) = write_archive(sub {
        my ($tar) = @_;
        is($tar->Add('special/fifo'), 0, 'a FIFO');
        is($tar->Add('special/link'), 0, 'a symbolic link');
        is($tar->Add('/proc/self/status', 'grown'), 0, 'a file that holds more than it declares');
        if ($short) {
            is($tar->Add($short, 'shrunk'), undef, 'a file that holds less than it declares');
        }
        is($tar->Add('special/after'), 0, 'a file after them');
    });
    is($closed, 0, 'closed');
    my @listing = map { [split /\t/, $_, -1] } split /\n/, python_listing($path);
    is_deeply([map { "@$_[0, 1, 3, 4]" } @listing],
              ['special/fifo 6 0 ', 'special/link 2 0 ../in.txt', 'grown 0 0 ',
               ($short ? ('shrunk 0 4096 ') : ()), 'special/after 0 5 '],
              'types, sizes and targets as Python reads them');
    my @verbose = map { my @f = split ' '; join ' ', substr($f[0], 0, 1), @f[2, 5 .. $#f] }
      split /\n/, `tar -tvzf '$path'`;
    is_deeply(\@verbose, ['p 0 special/fifo', 'l 0 special/link -> ../in.txt', '- 0 grown',
                          ($short ? ('- 4096 shrunk') : ()), '- 5 special/after'],
              'and as GNU tar lists them');
    if ($short) {
        my $extracted = extract_with_gnu_tar($path);
        my $content = read_file("$extracted/shrunk");
        is(length $content, 4096, 'the shrunk file is padded to its declared size');
        is(substr($content, 0, length read_file($short)), read_file($short),
           'with its content first');
        is(read_file("$extracted/special/after"), 'after', 'the entry after it is intact');
    } else {
        diag('no sysfs attribute file found: the shrinking-file case is not run');
    }
};

# name, type, mode, size and link target of each member, by Python.
sub python_listing {
    my ($archive) = @_;
    my $listing = `python3 -c '
import sys, tarfile
for m in tarfile.open(sys.argv[1]):
    print("\\t".join([m.name, m.type.decode(), "%o" % m.mode, str(m.size), m.linkname]))
' '$archive'`;
    die "python3 tarfile failed on $archive\n" if $?;
    return $listing;
}

sub spawn {
    my @command = @_;
    my $pid = fork();
    die "fork: $!\n" unless defined $pid;
    if ($pid == 0) { exec { $command[0] } @command or POSIX::_exit(127) }
    return $pid;
}

sub extract_with_gnu_tar {
    my ($archive, @options) = @_;
    my $dir = temp_dir();
    system('tar', '-C', $dir, @options, '-xf', $archive) == 0 or die "tar -xf $archive failed\n";
    return $dir;
}

# A tree's entries: relative path => type, permission bits, size and
# modification time, or a link's target (extractors differ in whether they
# restore a link's own time).
sub snapshot {
    my ($dir) = @_;
    my %tree;
    find({ no_chdir => 1, wanted => sub {
        return if $_ eq $dir;
        my @status = lstat $_;
        $tree{ substr($_, length($dir) + 1) } = -l _ ? 'l -> ' . readlink($_)
          : sprintf('%s %o %d %d', -d _ ? 'd' : -p _ ? 'p' : 'f', $status[2] & 07777,
                    -d _ ? 0 : $status[7], $status[9]);
    } }, $dir);
    return \%tree;
}

# A directory for the many small files of the round trip: in memory where
# the host offers it, since creating and removing them dominates the time
# (on disk when LMX_TEST_BIG_FILE_MB asks for a big file, 256 for the full
# case: five copies of it are made).
sub tree_dir {
    return -d '/dev/shm' && -w _ && !$ENV{LMX_TEST_BIG_FILE_MB}
      ? tempdir('lmxtestXXXXXX', DIR => '/dev/shm', CLEANUP => 1)
      : temp_dir();
}

# Source tree of the round trip: directories, small and empty files, long
# names, relative and dangling links, and one big file.
sub make_source_tree {
    my ($root, $big_size) = @_;
    my $deep = join '/', 'long' . ('-' x 60), 'name' . ('_' x 60);
    for my $d (0 .. 19) {
        for my $s (0 .. 4) {
            my $dir = sprintf '%s/d%02d/s%d', $root, $d, $s;
            make_path($dir);
            for my $f (0 .. 17) {
                my $size = ($d * 90 + $s * 18 + $f) % 7 == 0 ? 0 : ($f * 379 + $d * 31) % 3000;
                write_file("$dir/f$f" . ('x' x ($f * 7)), substr(("$d.$s.$f " x 400), 0, $size));
            }
        }
    }
    make_path("$root/$deep");
    write_file("$root/$deep/file-$_-" . ('z' x 100), "deep $_\n") for 1 .. 40;
    for my $i (0 .. 39) {
        symlink(sprintf('../s%d/f%d', ($i + 1) % 5, $i % 18),
                sprintf('%s/d%02d/s%d/link%d', $root, $i % 20, $i % 5, $i))
          or die "symlink: $!\n";
    }
    symlink('nowhere', "$root/dangling") or die;
    symlink('d00', "$root/dirlink") or die;
    chmod 0700, "$root/d03/s1";
    chmod 0600, "$root/d04/s2/f1x";
    chmod 0755, "$root/d05/s0/f2xxxxxxxxxxxxxx";
    # Random bytes with a run of zeros: quick to compress at any level.
    open(my $random, '<:raw', '/dev/urandom') or die;
    read($random, my $noise, $big_size / 2) == $big_size / 2 or die;
    write_file("$root/big.bin",
               $noise . ("\0" x ($big_size / 4)) . substr($noise, 0, $big_size / 4));
    utime 1000000000, 1000000000, "$root/d07/s3/f4xxxxxxxxxxxxxxxxxxxxxxxxxxxx";
}

# Every entry below the working directory, directories before their
# contents, added with Add under its relative path.
sub add_tree {
    my ($tar) = @_;
    my @entries;
    find({ no_chdir => 1, preprocess => sub { sort @_ },
           wanted => sub { push @entries, substr($File::Find::name, 2) if $_ ne '.' } }, '.');
    my @failed = grep { !defined $tar->Add($_) } @entries;
    is_deeply(\@failed, [], 'every entry added');
    return \@entries;
}

subtest 'round trip of a tree through GNU tar, bsdtar, Python and the extractor' => sub {
    my $source = tree_dir() . '/tree';
    my $big = ($ENV{LMX_TEST_BIG_FILE_MB} || 4) << 20;
    make_source_tree($source, $big);
    chdir $source or die;
    my $entries;
    my ($path, $closed) = write_archive(sub { $entries = add_tree($_[0]) });
    chdir $tmp or die;
    is($closed, 0, 'closed');
    cmp_ok(scalar @$entries, '>=', 2000, scalar(@$entries) . ' entries');
    my $expected = snapshot($source);

    my @names = split /\n/, `tar -tzf '$path'`;
    is_deeply(\@names, $entries, 'GNU tar lists every name in order');
    is_deeply([split /\n/, `bsdtar -tf '$path'`], $entries, 'bsdtar lists the same names');
    is_deeply([map { (split /\t/)[0] } split /\n/, python_listing($path)], $entries,
              'Python lists the same names');
    is(system("tar --numeric-owner -C '$source' --compare -zf '$path'"), 0,
       'tar --compare finds no difference');

    # The three extract side by side: most of their time is the
    # filesystem's.
    my %extracted = map { $_ => tree_dir() } 'GNU tar', 'bsdtar', 'Python';
    my @pids = map { spawn(@$_) } (
        ['tar', '-C', $extracted{'GNU tar'}, '-xzf', $path],
        ['bsdtar', '-C', $extracted{bsdtar}, '-xpf', $path],
        ['python3', '-c', 'import sys, tarfile; tarfile.open(sys.argv[1]).extractall(sys.argv[2])',
         $path, $extracted{Python}]);
    is_deeply([map { waitpid($_, 0); $? } @pids], [0, 0, 0], 'the three tools extract the archive');
    for my $tool (sort keys %extracted) {
        my $got = snapshot($extracted{$tool});
        is_deeply($got, $expected,
                  "$tool extracts the same names, modes, sizes, times and targets");
        is(system('diff', '-r', '--no-dereference', $source, $extracted{$tool}), 0,
           "$tool extracts the same contents");
    }

    my $u = KALDOR::Install::Untgz::new();
    is($u->Open($path), 0, 'the extractor opens the archive');
    my $dest = tree_dir();
    $u->SetDestDir($dest);
    my (@read, @bad);
    while (defined $u->Next()) {
        my ($mode, $size, $mtime, $name) = $u->GetHeader();
        push @read, $name;
        next unless ($mode & 0170000) == 0100000;
        push @bad, $name if $u->ExtractFile() != 0 || $size != -s "$source/$name"
                            || read_file("$dest/$name") ne read_file("$source/$name");
    }
    is_deeply(\@read, $entries, 'the extractor walks every entry in order');
    is_deeply(\@bad, [], 'and extracts every file with its size and content');
};

subtest 'external compressors' => sub {
    my $source = "$tmp/small";
    make_path("$source/sub");
    write_file("$source/sub/a.txt", "a\n" x 1000);
    write_file("$source/empty", '');
    symlink('sub/a.txt', "$source/link") or die;
    for my $case (['xz', ['-c'], 'txz', '-J'], ['zstd', ['-c', '-q'], 'tzst', '--zstd']) {
        my ($program, $arguments, $suffix, $option) = @$case;
        chdir $source or die;
        my ($path, $closed) = write_archive(sub { add_tree($_[0]) },
                                           compressor => [$program, $arguments], suffix => $suffix);
        chdir $tmp or die;
        is($closed, 0, "$program: closed with its exit code 0");
        my $extracted = extract_with_gnu_tar($path, $option);
        is(system('diff', '-r', '--no-dereference', $source, $extracted), 0,
           "$program: tar $option reads the archive back");
    }
    my $failing = ['/bin/sh', ['-c', '"cat >/dev/null; exit 1"']];
    my ($path, $closed) = write_archive(sub { is($_[0]->AddScalar('a', 'a'), 0, 'an entry') },
                                       compressor => $failing);
    is($closed, undef, 'a compressor that exits with 1 fails CloseArchive');

    my $tar = KALDOR::Install::GnuTar->new;
    $tar->setCompressor('sh', ['-c', '"' . ('x' x 4090) . '"']);
    is($tar->OpenArchive(archive_path()), undef, 'a command line over 4095 characters');
    $tar->setCompressor("$tmp/no-such-program");
    is($tar->OpenArchive(archive_path('txz'), 'w'), undef, 'a compressor that cannot start');
    $tar->setCompressor('xz', ['-c']);
    my $xz = archive_path('txz');
    is($tar->OpenArchive($xz, 'w'), 0, 'open with xz');
    is($tar->CloseArchive, 0, 'close');
    my $gz = archive_path();
    is($tar->OpenArchive($gz, 'w'), 0, 'the next open');
    is($tar->CloseArchive, 0, 'close');
    is(substr(read_file($gz), 0, 2), "\x1f\x8b",
       'uses gzip again: CloseArchive cleared the compressor');
};

subtest 'DESTROY finishes an open archive' => sub {
    my $path = archive_path();
    {
        my $tar = KALDOR::Install::GnuTar->new;
        $tar->OpenArchive($path, 'w');
        $tar->AddScalar('kept', 'kept');
    }
    is(`tar -xOzf '$path' kept`, 'kept', 'the entry is there');
    is(substr(gunzip($path), -1024), "\0" x 1024, 'and the end blocks');
    my $tar = KALDOR::Install::GnuTar->new;
    $tar->setCompressor('xz', ['-c']);
    my $xz = archive_path('txz');
    $tar->OpenArchive($xz, 'w');
    $tar->AddScalar('kept', 'through xz');
    undef $tar;
    is(`tar -xOJf '$xz' kept`, 'through xz', 'DESTROY waits for the compressor');
};

finish();
