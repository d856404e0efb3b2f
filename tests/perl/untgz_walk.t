# KALDOR::Install::Untgz: the archive walk, the entry description, entry
# data in scalars, the error list and the embedded Perl half, on archives
# made by GNU tar, Python's tarfile and by hand.
use strict;
use warnings;
use Test::More;
use Time::Local ();
use LmxTest qw(finish temp_dir write_file read_file make_tree gnu_tar python_tar);
use LmxTest::Untgz qw(tar_entry tar_end gzip_bytes walk run_script);

bootstrap KALDOR::Install::Untgz;

my $tmp = temp_dir();

sub archive {
    my ($name, @entries) = @_;
    return write_file("$tmp/$name", join('', @entries));
}

sub opened {
    my ($path) = @_;
    my $u = KALDOR::Install::Untgz::new();
    is($u->Open($path), 0, "Open $path") or diag(join "\n", $u->GetErr());
    return $u;
}

# GNU tar's verbose listing with full times, as (mode, size, time, name).
# The listing shows a set-id bit as "s" whether or not the execute bit is
# set (tar writes "S" without it), and whole seconds.
sub tar_listing {
    my ($archive) = @_;
    my @lines = `tar --full-time -tvf $archive`;
    return map {
        /^(\S+) \S+\s+(\d+) (\S+ [\d:]+)\S*\s+(.*)$/ ? [$1 =~ tr/S/s/r, $2, $3, $4] : ()
    } @lines;
}

sub our_listing {
    my ($archive) = @_;
    my ($lines, $errors) = walk($archive);
    is_deeply($errors, [], "no errors walking $archive");
    return map { /^(\S{10}) +(-?\d+) (\S+ \S+) (.*)$/s ? [$1, $2, $3, $4] : [$_] } @$lines;
}

subtest 'archives of GNU tar and Python tarfile are listed as tar lists them' => sub {
    my $src = make_tree("$tmp/src", 'short.txt' => "abc\n", 'bin/tool' => 'x' x 3000,
                        ('d' x 60) . '/' . ('e' x 70) . '/long-name.txt' => 'long',
                        'empty' => '');
    chmod 0755, "$src/bin/tool";
    chmod 02640, "$src/short.txt";
    utime 1262401445, 1262401445, "$src/bin/tool";
    my $gnu = gnu_tar($src, "$tmp/gnu.tgz", ['--format=gnu', '-z'], '.');
    is_deeply([our_listing($gnu)], [tar_listing($gnu)], '--format=gnu, long names included');
    # The other formats with names of up to 100 bytes (longer names in the
    # prefix field and pax records are checked in untgz_faults.t).
    my @short = ('short.txt', 'bin', 'empty');
    my $posix = gnu_tar($src, "$tmp/posix.tgz", ['--format=posix', '-z'], @short);
    is_deeply([our_listing($posix)], [tar_listing($posix)], '--format=posix');
    my $ustar = gnu_tar($src, "$tmp/ustar.tar", ['--format=ustar'], @short);
    is_deeply([our_listing($ustar)], [tar_listing($ustar)], '--format=ustar, uncompressed');

    # Python's tarfile writes its own GNU long-name entries.
    my $long = 'p/' . ('n' x 300);
    my $py = python_tar("$tmp/py.tgz", 'w:gz', ['p/', undef], [$long, '0123456789'],
                        ['p/after', 'x']);
    is_deeply([map { $_->[3] } our_listing($py)], ['p/', $long, 'p/after'],
              'tarfile, GNU format: the long name whole, the next name its own');
};

subtest 'the listing line and the list-context description' => sub {
    # 2010-01-02 03:04:05 in Berlin is 02:04:05 UTC (CET, UTC+1, in winter).
    my $time = Time::Local::timegm(5, 4, 2, 2, 0, 110);
    my $archive = archive('line.tar',
                          tar_entry('name', 'x' x 1234, mode => 04755, mtime => $time),
                          tar_entry('dir/', '', type => '5', mode => 0755),
                          tar_entry('tty', '', type => '3', mode => 0620),
                          tar_entry('link', '', type => '2', mode => 0777, link => 'name'),
                          tar_entry('fifo', '', type => '6', mode => 02644),
                          tar_entry('trailing  ', 'y'), tar_end());
    my ($code, $out) = run_script(<<"PL", env => {TZ => 'Europe/Berlin'});
bootstrap KALDOR::Install::Untgz;
my \$u = KALDOR::Install::Untgz::new();
\$u->Open('$archive');
print scalar(\$u->Next()), "|", scalar(\$u->GetHeader()), "\\n";
0;
PL
    is($out, join('|', ('-rwsr-xr-x         1234 2010-01-02 03:04:05 name') x 2) . "\n",
       'the line in local time, to the byte, from Next and GetHeader');
    my $u = opened($archive);
    $u->Next();
    is_deeply([$u->GetHeader()], [0104755, 1234, $time, 'name'], 'list context');
    is_deeply([$u->Next()], [040755, 0, 1262401445, 'dir/'], 'a directory: 040755');
    like(scalar $u->Next(), qr/^crw--w---- +0 /, 'a character device');
    is(($u->GetHeader())[0], 020620, 'with its type bits');
    like(scalar $u->Next(), qr/^lrwxrwxrwx +0 .* link$/, 'a symbolic link');
    like(scalar $u->Next(), qr/^-rw-r-sr-- /, 'set-group-id shows whether or not g+x is set');
    is(($u->GetHeader())[0], 02644, 'a fifo has no type bits');
    is(($u->Next())[3], 'trailing', 'trailing blanks of the name field are dropped');
    is($u->Next(), undef, 'end of the archive');
    is($u->GetHeader(), undef, 'no current entry after the end');
    is_deeply([$u->GetErr()], [], 'the end is no error');
};

subtest 'long names and extension entries' => sub {
    my $name699 = 'L' x 699;
    my $name100 = 'h' x 100;
    my $archive = archive('long.tar',
        tar_entry('././@LongLink', "$name699\0", type => 'L'),
        tar_entry('truncated', 'data'),
        tar_entry('own', 'z'),
        tar_entry('././@LongLink', "dir-long/\0", type => 'L'),
        tar_entry('dir-short/', '', type => '5'),
        tar_entry('after-dir', ''),
        tar_entry('pax', "30 path=ignored/by/the/walk\n", type => 'x'),
        tar_entry('././@LongLink', "read-long\0", type => 'L'),
        tar_entry('read-short', 'payload'),
        tar_entry('after-read', ''),
        tar_entry('././@LongLink', "lost\0", type => 'L'),
        tar_entry('pax2', 'p' x 700, type => 'x'),
        tar_entry('named-by-header', ''),
        tar_entry($name100, 'q', header => $name100),
        tar_end());
    my $u = opened($archive);
    is(($u->Next())[3], $name699, 'an L entry of 700 bytes names the next entry, 699 characters');
    is(($u->Next())[3], 'own', 'the entry after it has its own name');
    is(($u->Next())[3], 'dir-long/', 'a long name for an entry without data');
    is(($u->Next())[3], 'after-dir', 'names only that entry');
    is(($u->Next())[3], 'read-long', 'a long name after an extension entry');
    my $data;
    $u->ExtractScalar($data);
    is($data, 'payload', 'its data');
    is(($u->Next())[3], 'after-read', 'read data ends the long name too');
    is(($u->Next())[3], 'named-by-header', 'an extension entry between discards the long name');
    is(($u->Next())[3], $name100, 'a full 100-byte name field without NUL');
    is($u->Next(), undef, 'end');
};

subtest 'entry data into scalars' => sub {
    my $archive = archive('data.tgz', gzip_bytes(join '',
        tar_entry('thirty', 't' x 30), tar_entry('big', join('', map { chr } 0 .. 255) x 8),
        tar_entry('whole', "w\0" x 700), tar_entry('last', 'l'), tar_end()));
    my $u = opened($archive);
    $u->Next();
    my $buf = 'old';
    is($u->ExtractRead($buf, 1000), undef, 'a size that is no multiple of 512');
    is($buf, 'old', 'leaves the buffer');
    is($u->ExtractRead($buf, 0), 0, 'size 0');
    is($buf, '', 'empties the buffer');
    is($u->ExtractRead($buf), 30, 'the 30 bytes');
    is($buf, 't' x 30, 'their content');
    $buf = 'kept';
    is($u->ExtractRead($buf), 0, 'a second read gives 0');
    is($buf, 'kept', 'and leaves the buffer');
    $u->Next();
    my $expected = join('', map { chr } 0 .. 255) x 8;
    is($u->ExtractRead($buf, 1024), 1024, 'the first 1024 of 2048 bytes');
    is($buf, substr($expected, 0, 1024), 'in order');
    is($u->ExtractRead($buf, 1536), 1024, 'the rest');
    is($buf, substr($expected, 1024), 'in order');
    $u->Next();
    is($u->ExtractScalar("constant"), 0, 'a read-only buffer');
    is($u->ExtractScalar($buf), 0, 'the whole entry');
    is($buf, "w\0" x 700, 'binary data intact');
    is($u->ExtractScalar($buf), 0, 'nothing left');
    is(($u->Next())[3], 'last', 'the walk stays aligned');
};

# The result of a call and the error texts after it.
sub with_errors {
    my ($u, $method, @args) = @_;
    my $result = $u->$method(@args);
    return [$result, $u->GetErr()];
}

subtest 'failures of the walk' => sub {
    my $plain = archive('plain.tar', tar_entry('a', 'x' x 2000), tar_entry('b', 'y'), tar_end());
    my $truncated = write_file("$tmp/truncated.tar", substr(read_file($plain), 0, 1500));
    my $u = opened($truncated);
    ok(defined $u->Next(), 'the first header of a truncated archive');
    is_deeply(with_errors($u, 'Next'), [undef, "unexpected end of archive $truncated"],
              'then undef with one text');
    my $gz = write_file("$tmp/truncated.tgz", substr(gzip_bytes(read_file($plain)), 0, 60));
    is_deeply((walk($gz))[1], ["unexpected end of archive $gz"], 'a truncated gzip stream');
    is_deeply(with_errors(opened(archive('zero.tar', "\0" x 512)), 'Next'), [undef],
              'an archive of one zero block ends without a text');
    my $empty = archive('empty.tar', '');
    is_deeply(with_errors(opened($empty), 'Next'), [undef, "unexpected end of archive $empty"],
              'an empty file is cut short');

    my $junk = archive('junk.bin', 'J' x 600);
    $u = opened($junk);
    is_deeply(with_errors($u, 'Next'),
              [undef, "cannot read from archive $junk", 'does not look like a tar file'],
              'neither gzip nor tar: the most general text first');
    is_deeply(with_errors($u, 'Next'), [undef], 'the stream was closed: Next ends silently');
    is($u->Rewind(), -1, 'and Rewind fails');
    is($u->Open($plain), 0, 'Open works again on the same object');
    is(($u->Next())[3], 'a', 'and walks');
    is_deeply(with_errors($u, 'Open', $plain), [undef, "cannot open $plain handle already used"],
              'Open with a stream open');

    my $bad = $tmp . '/no/such.tgz';
    $u = KALDOR::Install::Untgz::new();
    is_deeply(with_errors($u, 'Open', $bad),
              [undef, "cannot open $bad", 'No such file or directory'], 'a missing archive');
    is_deeply(with_errors($u, 'Open', $tmp), [undef, "cannot open archive $tmp", 'Is a directory'],
              'a directory');
    $u->ErrAdd('kept');
    is_deeply(with_errors($u, 'Open', ''),
              [undef, 'kept', "cannot open archive $tmp", 'Is a directory'],
              'an empty path touches nothing');
    is($u->GetArchivename(), undef, 'no archive name without a successful Open');
    is(opened($plain)->GetArchivename(), $plain, 'the archive name');
};

subtest 'Rewind' => sub {
    my $archive = archive('rewind.tgz',
                          gzip_bytes(tar_entry('one', '1') . tar_entry('two', '2') . tar_end()));
    my $u = opened($archive);
    is($u->Rewind(), 0, 'right after Open');
    is(($u->Next())[3], 'one', 'the walk starts at the first entry');
    $u->Next();
    is_deeply([$u->Rewind(), $u->GetHeader()], [0, undef], 'after reading: no current entry');
    is(($u->Next())[3], 'one', 'the first entry again');
    1 while defined $u->Next();
    is_deeply([$u->Rewind(), ($u->Next())[3]], [0, 'one'], 'after the end, the first again');
};

subtest 'objects, arguments and the error list' => sub {
    is(KALDOR::Install::Untgz->new(), undef, 'new as a class method');
    is(KALDOR::Install::Untgz::new(1), undef, 'new with an argument');
    my $u = KALDOR::Install::Untgz::new();
    isa_ok($u, 'KALDOR::Install::Untgz');
    ok($u->{obj}, 'the record under obj');
    is(KALDOR::Install::Untgz::Next({obj => $u->{obj}}), undef, 'an unblessed hash');
    is(KALDOR::Install::Untgz::Next(bless [], 'KALDOR::Install::Untgz'), undef, 'an array object');
    is(KALDOR::Install::Untgz::Next(bless {}, 'KALDOR::Install::Untgz'), undef, 'no obj');
    is($u->Next(1), undef, 'a wrong argument count');
    is($u->Next(), undef, 'Next without an archive');
    is($u->ExtractFile(), -1, 'ExtractFile without an archive');
    is(KALDOR::Install::Untgz::ExtractFile(), undef, 'ExtractFile without arguments');
    is($u->SetReadOnly(1), undef, 'SetReadOnly without an archive');
    $u->ErrAdd('first');
    $u->ErrAdd('');
    $u->ErrAdd('second');
    is_deeply([$u->GetErr()], ['second', 'first'], 'newest first; empty texts are not added');
    $u->GetHeader();
    $u->FetchFSUsage();
    is(scalar(my @e = $u->GetErr()), 2, 'GetHeader and FetchFSUsage keep the list');
    is($u->SetOwner('user', 'group'), 0, 'SetOwner');
    is_deeply([$u->GetErr()], [], 'clears it');
};

subtest 'the Perl half' => sub {
    my $archive = archive('eval.tar',
                          tar_entry('good.pl', 'package EvalTest; our $value = 6 * 7; 1;'),
                          tar_entry('bad.pl', 'sub {'),
                          tar_entry('data', "\x7fELF" . "\0" x 100),
                          tar_entry('cut', 'c' x 2000));
    my $u = opened($archive);
    $u->Next();
    is($u->ExtractEval(), 0, 'ExtractEval of good code');
    is($EvalTest::value, 42, 'it ran');
    $u->Next();
    is($u->ExtractEval(), undef, 'ExtractEval of a syntax error');
    my @errors = $u->GetErr();
    is($errors[0], 'cannot eval extracted data', 'the general text first');
    like($errors[1], qr/syntax error|Missing right curly/, 'then the compiler\'s');

    $u->Next();
    if (!defined &KALDOR::Install::BuildInfo::bootstrap) {
        is($u->ExtractBuildInfo(), undef, 'ExtractBuildInfo while the module is absent');
        is($u->ExtractMagic(), undef, 'ExtractMagic too');
        no warnings 'once';
        # A stand-in registered the way the module will be: its bootstrap
        # defines GetBuildInfo, which reads the entry through ExtractRead.
        local *KALDOR::Install::BuildInfo::bootstrap = sub {
            *KALDOR::Install::BuildInfo::GetBuildInfo = sub {
                my ($object) = @_;
                my $n = KALDOR::Install::Untgz::ExtractRead($object, my $block);
                return { magic => substr($block, 1, 3) eq 'ELF' ? "elf $n" : 'unknown magic' };
            };
        };
        is($u->ExtractMagic(), 'elf 104', 'the module is booted on first use and called');
        undef *KALDOR::Install::BuildInfo::GetBuildInfo;
    } else {
        like($u->ExtractMagic(), qr/^(MS Windows|elf|coff|JAR|MS DOS|unknown magic)/,
             'ExtractMagic gives a magic text');
    }
    is($u->ExtractSysVersionInfo(), '', 'no version information on this system');

    $u->Next();
    my $short = write_file("$tmp/short.tar", substr(read_file($archive), 0, -600));
    $u = opened($short);
    $u->Next() for 1 .. 4;
    is($u->ExtractEval(), undef, 'ExtractEval when the data cannot be read whole');
    is_deeply([$u->GetErr()], ['cannot eval extracted data'], 'reports it');
};

subtest 'hostile input never crashes the walk' => sub {
    my $dest = temp_dir();
    my $valid = join '', tar_entry('a/', '', type => '5'), tar_entry('a/f', 'f' x 1500),
      tar_entry('././@LongLink', ('n' x 200) . "\0", type => 'L'), tar_entry('n', 'n'),
      tar_entry('x', 'p' x 100, type => 'x'), tar_entry('g', 'g'), tar_end();
    my @inputs = ('', "\0", 'x' x 511, 'x' x 513,
                  tar_entry('huge', 'h', size => '77777777777'),
                  tar_entry('././@LongLink', 'L', type => 'L', size => '77777777777') . $valid,
                  tar_entry('negative', 'n', size => '!!!!!!!!!!!'),
                  tar_entry('garbage', 'g', size => "\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"),
                  tar_entry('', '', header => "\x01"), substr($valid, 0, 700));
    srand(20261208);
    for (1 .. 150) {
        my $bytes = $valid;
        substr($bytes, int(rand length $bytes), 1) = chr(int(rand 256)) for 1 .. 1 + int(rand 8);
        push @inputs, $bytes;
    }
    push @inputs, map { gzip_bytes($_) } @inputs[0 .. 40];
    push @inputs, join '', map { chr(int(rand 256)) } 1 .. 4096;
    my $walked = 0;
    for my $i (0 .. $#inputs) {
        my $path = write_file("$tmp/hostile$i", $inputs[$i]);
        for my $test_run (0, 1) {
            my $u = KALDOR::Install::Untgz::new();
            next unless defined $u->Open($path, $test_run);
            $u->SetDestDir($dest);
            my $steps = 0;
            while (defined $u->Next() && ++$steps < 50) {
                my @d = $u->GetHeader();
                my $buf;
                $u->ExtractRead($buf, 2**40) if $steps % 3 == 0;
                $u->ExtractScalar($buf) if $steps % 3 == 1;
                $u->ExtractFile() if $steps % 3 == 2;
            }
            $u->GetErr();
            $walked++;
        }
    }
    ok($walked > 300, "walked $walked hostile archives without a crash");
};

finish();
