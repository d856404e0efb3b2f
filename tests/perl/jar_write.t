# KALDOR::Install::Jar writing: modes "w" and "a", Add, entries from
# descriptions, CopyTo, RestoreZip and the manifest subs, each result
# checked with Info-ZIP unzip and zipinfo.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir make_tree write_file read_file);
use LmxTest::Zip qw(python_zip info_zip zipinfo fileinfo_fields patch_central);
use LmxTest::Untgz qw(run_script);

bootstrap KALDOR::Install::Jar;

my $dir = temp_dir();

sub writer {
    my ($archive, $mode) = @_;
    my $jar = KALDOR::Install::Jar->new();
    my $rc = $jar->OpenArchive($archive, $mode);
    die "cannot open $archive for writing\n" unless defined $rc && $rc == 0;
    return $jar;
}

sub descriptions {
    my ($archive) = @_;
    my $jar = KALDOR::Install::Jar->new();
    $jar->OpenArchive($archive) == 0 or return;
    my @entries;
    while (my $entry = $jar->Next()) { push @entries, $entry }
    return @entries;
}

sub unzip_ok {
    my ($archive) = @_;
    my $out = `unzip -t '$archive' 2>&1`;
    return $? == 0 && $out =~ /No errors detected/;
}

# Extracts with unzip and compares every file with its source.
sub extracts_identically {
    my ($archive, $source, @names) = @_;
    my $out = temp_dir();
    system("unzip -q -o '$archive' -d '$out' >/dev/null 2>&1");
    my @different = grep { read_file("$out/$_") ne read_file("$source/$_") } @names;
    return is_deeply(\@different, [], "unzip extracts @names byte for byte");
}

my %files = ('a.txt' => "alpha\n" x 1000, 'b.bin' => join('', map { chr } 0 .. 255) x 300,
             'empty' => '', 'sub/c.pm' => "package c;\n1;\n");
my $tree = make_tree(temp_dir(), %files);

subtest 'mode w: Add, Open with a description, Write and Print' => sub {
    my $archive = "$dir/new.zip";
    my $jar = writer($archive, 'w');
    chdir $tree or die;
    for my $name (sort keys %files) {
        my $path = $name;
        is($jar->Add($path), 0, "Add $name");
        (my $stored = $name) =~ s{/}{\\}g;
        is($path, $stored, 'the caller\'s string now holds the entry name');
    }
    is($jar->Add('empty'), 0, 'Add of a read-only string');
    is($jar->Add('sub'), undef, 'Add of a directory');
    is($jar->Add('missing'), undef, 'Add of a missing file');
    is($jar->Add(''), undef, 'Add of an empty path');

    my $date = pack('V20', (0) x 12, 7, (0100640 << 16) | 1, 10, 20, 3, 5, 6, 2007);
    is($jar->Open({filename => 'made/entry.txt', fileinfo => $date}), 0, 'Open with a description');
    is($jar->Print("printed\0not this"), 0, 'Print stops at a NUL');
    is($jar->Write("written!", 5), 0, 'Write of part of a string');
    is($jar->Write("xy", 100), 0, 'Write of more than the string holds writes the string');
    is($jar->Write("z", -1), undef, 'a negative length');
    is($jar->Close(), 0, 'Close of the entry');
    is($jar->Open({filename => 'short', fileinfo => 'too short'}), undef, 'a short description');
    is($jar->Open({filename => 'n' x 65536, fileinfo => $date}), undef,
       'a name longer than the format holds');
    is($jar->Open({filename => "nul\0name", fileinfo => $date}), undef, 'a name with a NUL byte');
    is($jar->Open(), undef, 'Open in a write mode needs a description');
    is($jar->Next(), undef, 'Next in a write mode');
    is($jar->CloseArchive(), 0, 'CloseArchive');

    ok(unzip_ok($archive), 'unzip -t');
    my @listed = zipinfo($archive);
    is_deeply([map { $_->{name} } @listed],
              ['a.txt', 'b.bin', 'empty', 'sub\\c.pm', 'empty', 'made/entry.txt'],
              'the entries in order');
    is_deeply($listed[5]{date}, [10, 20, 3, 5, 6, 2007], 'the description\'s date');
    my %description = map { $_->{filename} => fileinfo_fields($_->{fileinfo}) } descriptions($archive);
    is($description{'made/entry.txt'}{external}, (0100640 << 16) | 1, 'its external attributes');
    my $reader = KALDOR::Install::Jar->new();
    $reader->OpenArchive($archive);
    $reader->Open('made/entry.txt');
    my $buffer;
    $reader->Read($buffer, 100);
    is($buffer, 'printedwrittxy', 'the entry\'s data');
    my $first = fileinfo_fields($reader->Next()->{fileinfo});
    my @local = localtime((stat "$tree/a.txt")[9]);
    is_deeply([@$first{qw(min hour day month year)}], [@local[1 .. 4], $local[5] + 1900],
              'Add dates the entry by the file\'s local modification time');
    is($first->{sec}, $local[0] - $local[0] % 2, 'to the two seconds a DOS time holds');
    is($first->{external}, 0, 'with no attributes');
    $reader->CloseArchive();

    my $out = temp_dir();
    system("unzip -q -o '$archive' -d '$out' >/dev/null 2>&1");
    is(read_file("$out/a.txt"), $files{'a.txt'}, 'a.txt extracts byte for byte');
    is(read_file("$out/b.bin"), $files{'b.bin'}, 'b.bin too');
};

subtest 'mode a: an archive after the file\'s content' => sub {
    my $archive = write_file("$dir/appended.bin", "#!/bin/sh\necho program part\nexit 0\n" x 20);
    my $jar = writer($archive, 'append');
    chdir $tree or die;
    is($jar->Add('a.txt'), undef, 'Add belongs to mode w');
    is($jar->SetExtractor('a.txt'), undef, 'and so does SetExtractor');
    is($jar->Open({filename => 'a.txt', fileinfo => pack('V20', (0) x 20)}), 0, 'Open');
    $jar->Write($files{'a.txt'}, length $files{'a.txt'});
    $jar->Close();
    is($jar->CloseArchive(), 0, 'CloseArchive');
    like(read_file($archive), qr/^#!\/bin\/sh\necho program part/, 'the file\'s content stays');
    ok(unzip_ok($archive), 'unzip -t of the appended archive');
    extracts_identically($archive, $tree, 'a.txt');
};

subtest 'CopyTo' => sub {
    my $source = info_zip($tree, "$dir/source.zip", ['-r'], '.');
    my $from = KALDOR::Install::Jar->new();
    $from->OpenArchive($source);
    my $copy = "$dir/copy.zip";
    my $to = writer($copy, 'w');
    my @counts;
    while (my $entry = $from->Next()) { push @counts, $from->CopyTo($to) }
    is_deeply([sort { $a <=> $b } @counts], [sort { $a <=> $b } 0, map { length } values %files],
              'the uncompressed bytes of each entry');
    is($to->CopyTo($from), undef, 'not from a write mode');
    $from->CloseArchive();
    is($to->CloseArchive(), 0, 'the copy is closed');
    ok(unzip_ok($copy), 'unzip -t of the copy');
    extracts_identically($copy, $tree, sort keys %files);
    my $kept = sub {
        map {
            my $f = fileinfo_fields($_->{fileinfo});
            join ' ', $_->{filename}, @$f{qw(crc uncompressed internal external sec min hour day month year)}
        } descriptions($_[0]);
    };
    is_deeply([$kept->($copy)], [$kept->($source)], 'names, dates, checksums and attributes as in the source');

    my $bad = python_zip("$dir/badcrc.zip", ['bad', 'bad data' x 10, deflated => 1]);
    patch_central($bad, 0, {16 => 0x12345678}, local => 1);
    $from = KALDOR::Install::Jar->new();
    $from->OpenArchive($bad);
    $from->Next();
    $to = writer("$dir/badcopy.zip", 'w');
    is($from->CopyTo($to), undef, 'an entry that fails its checksum is not copied as intact');
};

subtest 'entries and archives left open' => sub {
    my $description = pack('V20', (0) x 20);
    my $archive = "$dir/unclosed.zip";
    my $jar = writer($archive, 'w');
    $jar->Open({filename => 'one', fileinfo => $description});
    $jar->Print('first entry');
    $jar->Open({filename => 'two', fileinfo => $description});
    $jar->Print('second entry');
    is($jar->CloseArchive(), 0, 'CloseArchive with an entry open');
    ok(unzip_ok($archive), 'each entry ended with its own size and checksum');
    is(`unzip -p '$archive' one` . `unzip -p '$archive' two`, 'first entrysecond entry', 'the data');

    my $dropped = "$dir/dropped.zip";
    writer($dropped, 'w')->Open({filename => 'kept', fileinfo => $description});
    ok(unzip_ok($dropped), 'an object destroyed with its archive open leaves a whole archive');
};

subtest 'the longest entry name' => sub {
    my $archive = "$dir/long.zip";
    my $jar = writer($archive, 'w');
    is($jar->Open({filename => 'l' x 65535, fileinfo => pack('V20', (0) x 20)}), 0, '65,535 bytes');
    $jar->Write('long', 4);
    $jar->Close();
    $jar->CloseArchive();
    my $check = `python3 -c "import zipfile, sys; z = zipfile.ZipFile(sys.argv[1]); print(z.testzip(), len(z.namelist()[0]))" '$archive'`;
    is($check, "None 65535\n", "Python's zipfile reads it and its data");
};

subtest 'RestoreZip' => sub {
    my $source = write_file("$dir/restore-source", 'r' x 20000);
    my $target = write_file("$dir/restore-target", 'old and longer content' x 2000);
    is(KALDOR::Install::Jar::RestoreZip($target, $source), 0, 'copied');
    is(read_file($target), 'r' x 20000, 'the target holds the source');
    is(KALDOR::Install::Jar::RestoreZip($target, "$dir/none"), undef, 'a missing source');
    is(KALDOR::Install::Jar::RestoreZip('', $source), undef, 'an empty target');
    is(KALDOR::Install::Jar::RestoreZip("$dir/no/such/dir", $source), undef, 'a target that cannot be made');
    is(KALDOR::Install::Jar::RestoreZip($source, $source), undef, 'a file over itself');
    is(read_file($source), 'r' x 20000, 'which stays whole');
};

subtest 'manifest values and build strings' => sub {
    my $manifest = "Manifest-Version: 1.0\r\nCreated-By: \"quoted maker\"\r\nImplementation-Title: demo\r\n";
    my ($jar_file, $plain) = python_zip(
        ["$dir/demo.jar", ['META-INF/', ''], ['META-INF/MANIFEST.MF', $manifest, deflated => 1],
         ['demo/Main.class', "\xca\xfe\xba\xbe" . ("\0" x 100)]],
        ["$dir/plain.zip", ['x', 'x']]);
    is(KALDOR::Install::Jar::JarBuildString($jar_file), undef, 'no version line yet');
    is(KALDOR::Install::Jar::SetValueInManifest($jar_file, 'Created-By' => 'me',
                                                 'Implementation-Version' => '7.6.00 Build: 012-121-123-456'),
       0, 'SetValueInManifest');
    ok(!-e "$jar_file.~wrk~", 'the work archive is gone');
    ok(unzip_ok($jar_file), 'the archive passes unzip -t');
    is(`unzip -p '$jar_file' META-INF/MANIFEST.MF`,
       "Manifest-Version: 1.0\nCreated-By: me\nImplementation-Title: demo\n" .
         "Implementation-Version: 7.6.00 Build: 012-121-123-456\n",
       'a value replaced in place, a missing key appended after the last line');
    is(`unzip -p '$jar_file' demo/Main.class`, "\xca\xfe\xba\xbe" . ("\0" x 100), 'other entries are copied');
    is(KALDOR::Install::Jar::JarBuildString($jar_file), 'JAR  7.6.00 Build: 012-121-123-456',
       'JarBuildString');
    is_deeply([KALDOR::Install::Jar::JarBuildInfo($jar_file)], ['Build', [7, 6, '00', 12]],
              'JarBuildInfo');
    my (undef, $parts) = KALDOR::Install::Jar::JarBuildInfo($jar_file);
    is($parts->[3] . '', '12', 'the build is a number');

    for my $case (['"7.6.12 Build 345-"', 'JAR  7.6.12 Build: 345'],
                  ['8.10.3.77 (release)', 'JAR  8.10.3 Build: 77'],
                  ['no numbers here', undef]) {
        KALDOR::Install::Jar::SetValueInManifest($jar_file, 'Implementation-Version' => $case->[0]);
        is(KALDOR::Install::Jar::JarBuildString($jar_file), $case->[1], "version $case->[0]");
    }
    is(scalar KALDOR::Install::Jar::JarBuildInfo($jar_file), undef, 'JarBuildInfo without a build');
    is(KALDOR::Install::Jar::JarBuildString($plain), undef, 'an archive without a manifest');
    is(KALDOR::Install::Jar::JarBuildString("$dir/none.jar"), undef, 'a missing archive');
    is(KALDOR::Install::Jar::SetValueInManifest("$dir/none.jar", a => 1), undef,
       'SetValueInManifest of a missing archive');
    (my $windows = $jar_file) =~ s{/}{\\}g;
    KALDOR::Install::Jar::SetValueInManifest($windows, 'Implementation-Version' => '1.2.3 Build: 4');
    is(KALDOR::Install::Jar::JarBuildString($windows), 'JAR  1.2.3 Build: 4',
       'paths with backslashes');
};

subtest 'self-extractor fix-up messages' => sub {
    my (undef, $out) = run_script(<<"PL");
bootstrap KALDOR::Install::Jar;
my \$jar = KALDOR::Install::Jar->new();
\$jar->OpenArchive('$dir/notfirst.zip', 'w');
\$jar->Open({filename => 'first', fileinfo => pack('V20', (0) x 20)});
\$jar->Close();
\$jar->SetExtractor('$tree/a.txt');
print 'close: ', \$jar->CloseArchive(), "\\n";
\$jar->OpenArchive('$dir/gone.zip', 'w');
\$jar->Add('$tree/a.txt');
unlink '$dir/gone.zip';
print 'close: ', \$jar->CloseArchive(), "\\n";
0;
PL
    is($out, ">>> extractor is not the first entry\nclose: 0\n" .
               ">>> cannot open file $dir/gone.zip\nclose: 0\n",
       'the fix-up says why it stopped; CloseArchive still succeeds');
    ok(unzip_ok("$dir/notfirst.zip"), 'and the archive is left whole');
};

finish();
