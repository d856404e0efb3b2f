# KALDOR::Install::Untgz: extraction to disk against GNU tar, the test run
# with its usage summary, and the failures of both, reported with their
# texts while the walk goes on.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use LmxTest qw(finish temp_dir write_file read_file make_tree gnu_tar);
use LmxTest::Untgz qw(tar_entry tar_end gzip_bytes tree_snapshot run_script extract_all);

bootstrap KALDOR::Install::Untgz;

umask 022;
my $tmp = temp_dir();
chmod 0755, $tmp;    # read by a second user below

sub archive {
    my ($name, @entries) = @_;
    return write_file("$tmp/$name", join('', @entries, tar_end()));
}

sub failures { return [map { $_->[1] == 0 ? () : [@$_] } @{ $_[0] }] }

sub kilobytes { my ($n) = @_; return int($n / 1024) + ($n % 1024 ? 1 : 0) }

sub mount_point {
    my ($path) = @_;
    my ($point) = `findmnt -n -o TARGET --target $path`;
    chomp $point;
    return $point;
}

# A tree with the modes, sizes and names that extraction has to reproduce.
my $src = make_tree("$tmp/src",
    'plain.txt' => "plain\n", 'empty' => '', 'bin/tool' => 'T' x 70000,
    'lib/ro.dat' => 'read only', 'lib/deep/er/file' => 'deep',
    'suid' => 'S', 'sticky' => 'K', 'group/shared' => 'G',
    ('long' x 30) . '/' . ('name' x 20) => 'long name');
open(my $random, '<:raw', '/dev/urandom') or die;
read($random, my $noise, 3 << 20);
write_file("$src/big.bin", $noise);
chmod 0755, "$src/bin/tool";
chmod 0444, "$src/lib/ro.dat";
chmod 04755, "$src/suid";
chmod 01644, "$src/sticky";
chmod 02750, "$src/group";
chmod 0640, "$src/group/shared";
chmod 0700, "$src/lib/deep";
symlink 'plain.txt', "$src/link" or die;
utime 946684800, 946684800, "$src/bin/tool";
my $tgz = gnu_tar($src, "$tmp/src.tgz", ['--format=gnu', '-z'], '.');

# The modes the extraction derives: a file gets its header mode without the
# sticky bit; a directory entry's mode is given to mkdir, so the umask
# applies and the host's mkdir leaves the set-group-id bit to the parent.
sub expected_tree {
    my ($reference) = @_;
    my %tree;
    for my $path (keys %$reference) {
        my ($type, $mode, @rest) = split / /, $reference->{$path};
        next if $type eq 'l';
        my $bits = (lstat "$src/$path")[2] & 07777;
        $mode = sprintf '%o', $type eq 'd' ? $bits & 01777 & ~022 : $bits & 06777;
        $tree{$path} = join ' ', $type, $mode, @rest;
    }
    return \%tree;
}

subtest 'extraction gives the tree that tar -xzf gives' => sub {
    my $ours = temp_dir();
    my $theirs = temp_dir();
    system('tar', '-C', $theirs, '-xzf', $tgz) == 0 or die "tar -xzf failed\n";
    my ($u, $results) = extract_all($tgz, $ours);
    is_deeply(failures($results), [], 'every entry extracted');
    is_deeply([$u->GetErr()], [], 'the walk ended without a text');
    is_deeply([(stat "$ours/bin/tool")[8, 9]], [946684800, 946684800],
              'access and modification time from the header');
    is(system('diff', '-r', '--no-dereference', '-x', 'link', $ours, $theirs), 0,
       'the same content and directory structure (diff -r)');
    my $mine = tree_snapshot($ours);
    is_deeply($mine, expected_tree(tree_snapshot($theirs)),
              'the same files, sizes and modification times; modes as derived');
    ok(!-e "$ours/link" && !-l "$ours/link", 'a symbolic link entry creates nothing');
    is((grep { $_->[0] eq './link' && $_->[1] == 0 } @$results), 1, 'and succeeds');
    is($mine->{'lib/ro.dat'} =~ /^f 444 /, 1, 'a mode without owner write leaves the file read-only');
    like($mine->{suid}, qr/^f 4755 /, 'the set-user-id bit is kept');
    like($mine->{sticky}, qr/^f 644 /, 'the sticky bit is dropped');

    # Extracting again replaces every file in place.
    write_file("$ours/plain.txt", 'changed and longer than before');
    ($u, $results) = extract_all($tgz, $ours);
    is_deeply(failures($results), [], 'a second extraction over the first');
    is(read_file("$ours/plain.txt"), "plain\n", 'rewrites the files');
};

subtest 'directories and output paths' => sub {
    my $dest = temp_dir();
    my $archive = archive('dirs.tar', tar_entry('a/b/', '', type => '5', mode => 0750),
                          tar_entry('x/y/secret', 's', mode => 0640),
                          tar_entry('open/file', 'o', mode => 0666),
                          tar_entry('bin/tool.exe', 'exe', mode => 0755));
    my (undef, $results) = extract_all($archive, $dest);
    is_deeply(failures($results), [], 'extracted');
    is(sprintf('%o', (stat "$dest/a")[2] & 07777), '750', 'a/b/ creates a');
    is(sprintf('%o', (stat "$dest/a/b")[2] & 07777), '750', 'and a/b; the separator is ignored');
    is(sprintf('%o', (stat "$dest/x/y")[2] & 07777), '750', 'a 0640 file gets 0750 parents');
    is(sprintf('%o', (stat "$dest/open")[2] & 07777), '755', 'a 0666 file 0777 less the umask');

    # A drive letter maps through the drive table.
    mkdir "$dest/drive";
    my ($code, $out) = run_script(<<"PL", env => {LMX_DRIVE_MAP => "D=$dest/drive"});
bootstrap KALDOR::Install::Untgz;
my \$u = KALDOR::Install::Untgz::new();
\$u->Open('$archive');
\$u->SetDestDir('D:/inst');
1 until (\$u->Next())[3] eq 'bin/tool.exe';
print \$u->ExtractFile();
0;
PL
    is($out, '0', 'D:/inst and bin/tool.exe');
    is(read_file("$dest/drive/inst/bin/tool.exe"), 'exe', 'land in D:/inst/bin/tool.exe');
};

subtest 'names that leave the destination are refused' => sub {
    my $dest = temp_dir() . '/dest';
    my $archive = archive('escape.tar', tar_entry('../escaped', 'evil'),
                          tar_entry('a/../../escaped2', 'evil'),
                          tar_entry('..\\escaped3', 'evil'),
                          tar_entry('../up/', '', type => '5'),
                          tar_entry('fine/..name', 'ok'));
    my (undef, $results) = extract_all($archive, $dest);
    is_deeply([map { [$_->[0], $_->[1], $_->[2]] } @$results],
              [map({ [$_, -1, ["cannot extract $_",
                                'the name leads out of the destination directory']] }
                   '../escaped', 'a/../../escaped2', '..\\escaped3', '../up/'),
               ['fine/..name', 0, []]],
              'each refused with its texts; the walk goes on');
    my $parent = $dest =~ s{/dest$}{}r;
    ok(!-e "$parent/escaped" && !-e "$parent/escaped2" && !-e "$parent/up"
         && !-e "$dest/a", 'nothing was written');
    is(read_file("$dest/fine/..name"), 'ok', 'a name that merely contains two dots');
};

subtest 'links in the destination are never written through' => sub {
    my $dest = temp_dir();
    my $outside = temp_dir();
    symlink "$outside/target", "$dest/dangling" or die;
    my $archive = archive('links.tar', tar_entry('dangling', 'new'));
    my (undef, $results) = extract_all($archive, $dest, 1);
    is($results->[0][1], -1, 'a test run refuses to create through a dangling link');
    is_deeply($results->[0][2], ['cannot extract dangling', "cannot create $dest/dangling",
                                 'File exists'], 'with its texts');
    ok(!-e "$outside/target", 'the link target was not created');
    my $second = archive('second.tar', tar_entry('first', 'new'), tar_entry('dangling', 'new'));
    (undef, $results) = extract_all($second, $dest, 1);
    is_deeply([map { $_->[1] } @$results], [0, -1], 'also after a new file in the directory');
    ok(!-e "$dest/first" && !-e "$outside/target", 'leaving nothing behind');
    (undef, $results) = extract_all($archive, $dest);
    is($results->[0][1], 0, 'the extraction replaces the link');
    ok(!-l "$dest/dangling" && read_file("$dest/dangling") eq 'new', 'by the file');
    ok(!-e "$outside/target", 'and creates nothing where it pointed');
};

subtest 'a test run writes no file and sums the usage' => sub {
    my $dest = temp_dir();
    my ($u, $results) = extract_all($tgz, $dest, 1);
    is_deeply(failures($results), [], 'every entry passes');
    is($u->ExtractFile(), -1, 'ExtractFile after the end: no entry');
    is_deeply([$u->GetErr()], [], 'without a text');
    is(`find $dest -type f -o -type l`, '', 'no file is left behind');
    my @dirs = sort grep { !/^\.?$/ } map { chomp; $_ } `cd $dest && find . -type d`;
    my @src_dirs = sort grep { !/^\.?$/ } map { chomp; $_ } `cd $src && find . -type d`;
    is_deeply(\@dirs, \@src_dirs, 'the directory tree is created');
    my $needed = 0;
    $needed += kilobytes(-s $_) for grep { -f && !-l } map { chomp; $_ } `find $src`;
    is($u->FetchFSUsage(), 1, 'one filesystem');
    is_deeply({$u->FetchFSUsage(0)}, {FSNAME => mount_point($dest), USED => 0, NEEDED => $needed},
              'its name, nothing replaced, the sizes rounded up to kilobytes');
    is_deeply([$u->GetFSUsage()], [{$u->FetchFSUsage(0)}], 'GetFSUsage');
    is($u->FetchFSUsage(5), undef, 'an index past the entries');
    is_deeply([$u->FetchFSUsage(-1)], [$u->FetchFSUsage(0)], 'an index below 0 is the first');

    # Over the extracted tree: every file is probed and left exactly as it
    # was, and the replaced sizes are summed.
    system('tar', '-C', $dest, '-xzf', $tgz) == 0 or die;
    my $before = tree_snapshot($dest);
    my @times = map { (stat)[8, 9] } sort glob("$dest/*");
    ($u, $results) = extract_all($tgz, $dest, 1);
    is_deeply(failures($results), [], 'every existing file passes the probe');
    is_deeply([tree_snapshot($dest), map { (stat)[8, 9] } sort glob("$dest/*")],
              [$before, @times], 'sizes, modes and access and modification times unchanged');
    my %usage = $u->FetchFSUsage(0);
    is_deeply([@usage{qw(USED NEEDED)}], [$needed, $needed], 'used and needed');

    # A test run, the summary, Rewind, and the real extraction.
    my $fresh = temp_dir();
    $u = KALDOR::Install::Untgz::new();
    $u->Open($tgz, 1);
    $u->SetDestDir($fresh);
    $u->ExtractFile() while defined $u->Next();
    is(scalar(my @summary = $u->GetFSUsage()), 1, 'the summary survives the end of the archive');
    is($u->Rewind(), 0, 'Rewind');
    is($u->FetchFSUsage(), 0, 'discards it');
    is($u->SetReadOnly(0), 0, 'SetReadOnly(0)');
    $u->ExtractFile() while defined $u->Next();
    is(read_file("$fresh/plain.txt"), "plain\n", 'the second walk extracts');
};

# A test run to the end (or not), Rewind, and the extraction: what the
# extraction writes is what the test run read, from memory after a sound
# test run, from the archive again otherwise.
subtest 'the extraction after a test run' => sub {
    my $walk = sub {
        my ($u, $limit) = @_;
        my $count = 0;
        while (defined $u->Next()) {
            $u->ExtractFile();
            last if defined $limit && ++$count == $limit;
        }
        return [$u->GetErr()];
    };
    my $reference = temp_dir();
    extract_all($tgz, $reference);
    for my $case (['a whole test run', undef], ['a test run that stopped after 3 entries', 3]) {
        my ($what, $limit) = @$case;
        my $copy = write_file("$tmp/copy.tgz", read_file($tgz));
        my $dest = temp_dir();
        my $u = KALDOR::Install::Untgz::new();
        $u->Open($copy, 1);
        $u->SetDestDir($dest);
        $walk->($u, $limit);
        $u->Rewind();
        $u->SetReadOnly(0);
        is_deeply($walk->($u), [], "$what: the extraction ends without a text");
        is_deeply(tree_snapshot($dest), tree_snapshot($reference),
                  "$what: the tree of an extraction alone");
        is(system('diff', '-r', $dest, $reference), 0, "$what: the same data");
    }

    # The archive changed in place after a whole test run: the extraction
    # writes what was tested.
    my $copy = write_file("$tmp/copy.tgz", read_file($tgz));
    my $dest = temp_dir();
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($copy, 1);
    $u->SetDestDir($dest);
    $walk->($u);
    open(my $out, '+<:raw', $copy) or die;
    print {$out} "\0" x 4096;
    close $out;
    $u->Rewind();
    $u->SetReadOnly(0);
    is_deeply($walk->($u), [], 'an archive overwritten after the test run');
    is(read_file("$dest/big.bin"), read_file("$reference/big.bin"), 'still gives the tested data');

    # A test run that ended on a cut trailer is not replayed: the
    # extraction finds the damage again.
    my $damaged = write_file("$tmp/cut.tgz", substr(read_file($tgz), 0, -4));
    $u = KALDOR::Install::Untgz::new();
    $u->Open($damaged, 1);
    $u->SetDestDir(temp_dir());
    my $tested = $walk->($u);
    is($u->Rewind(), 0, 'Rewind after a test run that found a cut trailer');
    $u->SetReadOnly(0);
    is_deeply([$tested, $walk->($u)], [(["unexpected end of archive $damaged"]) x 2],
              'the cut is found in the test run and again in the extraction');
};

subtest 'usage per filesystem' => sub {
    my $dest = temp_dir();
    write_file("$dest/ten", '0123456789');
    my $archive = archive('usage.tar', tar_entry("$dest/ten", 'x' x 1025),
                          tar_entry("$dest/new", 'y' x 3000));
    my ($u, $results) = extract_all($archive, undef, 1);
    is_deeply({$u->FetchFSUsage(0)}, {FSNAME => mount_point($dest), USED => 1, NEEDED => 5},
              '1025 bytes over 10 add 1 used, 2 needed; a new file of 3000 bytes 3 needed');
    is(read_file("$dest/ten"), '0123456789', 'the existing file is unchanged');
    ok(!-e "$dest/new", 'the new one was created and deleted');

  SKIP: {
        my $shm = '/dev/shm';
        skip 'no /dev/shm on a filesystem of its own', 3
          unless -d $shm && -w $shm && (stat $shm)[0] != (stat $dest)[0];
        my $other = tempdir('lmxtestXXXXXX', DIR => $shm, CLEANUP => 1);
        $archive = archive('two.tar', tar_entry("$dest/one", 'a' x 2048),
                           tar_entry("$other/two", 'b'), tar_entry("$dest/three", 'c'));
        ($u) = extract_all($archive, undef, 1);
        is($u->FetchFSUsage(), 2, 'two filesystems');
        is_deeply([map { { $u->FetchFSUsage($_) } } 0, 1],
                  [{FSNAME => mount_point($dest), USED => 0, NEEDED => 3},
                   {FSNAME => mount_point($shm), USED => 0, NEEDED => 1}],
                  'in the order they were met, named by their mount points');
        rmdir $other;
        ok(!-e $other, 'the test run left nothing there');
    }
};

subtest 'failures are reported and the walk goes on' => sub {
    my $dest = temp_dir();
    write_file("$dest/blocker", 'a file where a directory belongs');
    my $archive = archive('fail.tar', tar_entry('blocker/file', 'b'),
                          tar_entry('blocker/sub/', '', type => '5'),
                          tar_entry('after', 'a'));
    my (undef, $results) = extract_all($archive, "$dest/");
    is_deeply($results, [
        ['blocker/file', -1, ['cannot extract blocker/file', "cannot create subdirectory $dest/blocker",
                              'File exists']],
        ['blocker/sub/', -1, ["cannot make directory $dest/blocker/sub/",
                              "cannot create subdirectory $dest/blocker", 'File exists']],
        ['after', 0, []]], 'a destination that cannot be created');

    my $full = read_file(archive('whole.tar', tar_entry('big', 'B' x 5000), tar_entry('next', 'n')));
    my $cut = write_file("$tmp/cut.tar", substr($full, 0, 512 + 2048 + 100));
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($cut);
    $u->SetDestDir($dest);
    $u->Next();
    is($u->ExtractFile(), -1, 'an archive that ends inside the data');
    is_deeply([$u->GetErr()], ["unexpected end of archive $cut"], 'its text');
    is($u->Next(), undef, 'the next Next');
    is_deeply([$u->GetErr()], ["unexpected end of archive $cut"], 'ends the walk with the same text');
    undef $u;
    is(-s "$dest/big", 2048, 'the whole blocks that arrived were written');

    # A file-size limit: the write fails part-way, the next entry is fine.
    my $limited = archive('limit.tgz', gzip_bytes(join '', tar_entry('huge', 'H' x 200000),
                                                  tar_entry('small', 's' x 100), tar_end()));
    my ($code, $out) = run_script(<<"PL", prefix => ['prlimit', '--fsize=65536', '--']);
bootstrap KALDOR::Install::Untgz;
my \$u = KALDOR::Install::Untgz::new();
\$u->Open('$limited');
\$u->SetDestDir('$dest');
for (1 .. 2) {
    \$u->Next();
    print join('|', \$u->ExtractFile(), \$u->GetErr()), "\\n";
}
0;
PL
    is($code, 0, 'the process is not ended by the limit');
    is($out, "-1|cannot write $dest/huge|File too large\n0\n", 'the write fails; the next entry extracts');
    is(-s "$dest/huge", 65536, 'up to the limit');
    is(read_file("$dest/small"), 's' x 100, 'the next file is whole');
};

subtest 'the writability probe of a test run' => sub {
    my $dest = temp_dir();
    chmod 01777, $dest;
    my $archive = archive('probe.tar', tar_entry('running', 'new program'),
                          tar_entry('foreign', 'new data'), tar_entry('after', 'a'));
    chmod 0644, $archive;

    # A running program's image cannot be opened for writing.
    system('cp', '/bin/sleep', "$dest/running") == 0 or die;
    my $pid = fork() // die;
    if ($pid == 0) { exec "$dest/running", '30'; exit 127 }
    select(undef, undef, undef, 0.2);
    my $before = read_file("$dest/running");
    my (undef, $results) = extract_all($archive, $dest, 1);
    is_deeply($results->[0], ['running', -1, ['cannot extract running',
                                              'sharing violation during open of existing file']],
              'a running program fails with a sharing violation');
    is(read_file("$dest/running"), $before, 'and stays as it was');

    # A file that belongs to someone else (or, without root to make one, a
    # file of ours without write permission) cannot be opened for writing.
    write_file("$dest/foreign", 'not ours to write');
    chmod 0644, "$dest/foreign";
    my @second_user;
    if ($> == 0) {
        @second_user = (prefix => ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']);
    } else {
        chmod 0444, "$dest/foreign";
        note 'not root: probing a read-only file of our own instead of a foreign one';
    }
    my ($code, $out) = run_script(<<"PL", @second_user);
bootstrap KALDOR::Install::Untgz;
my \$u = KALDOR::Install::Untgz::new();
\$u->Open('$archive', 1);
\$u->SetDestDir('$dest');
while (defined \$u->Next()) {
    my \@e = \$u->GetHeader();
    print join('|', \$e[3], \$u->ExtractFile(), \$u->GetErr()), "\\n" if \$e[3] ne 'running';
}
0;
PL
    is($code, 0, 'the test run completes');
    is($out, "foreign|-1|cannot extract foreign|could not open existing file\nafter|0\n",
       'the file fails to open; the walk goes on');
    is(read_file("$dest/foreign"), 'not ours to write', 'and the file stays as it was');

    # The real extraction replaces the running program's file: the host
    # lets a file in use be deleted and created anew.
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($archive);
    $u->SetDestDir($dest);
    $u->Next();
    is($u->ExtractFile(), 0, 'extracting over a running program');
    is(read_file("$dest/running"), 'new program', 'writes the new file');
    kill 'TERM', $pid;
    local $?;
    waitpid $pid, 0;
};

finish();
