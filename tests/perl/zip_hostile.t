# Hostile archives: overlapping entries, a central directory past the end,
# names that lead elsewhere, sizes that the file cannot hold and a zip bomb
# give undef or a clear error, with bounded memory, in the zip reader, the
# Jar module and the self-extractor.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir write_file read_file run_kit);
use LmxTest::Zip qw(python_zip zip64_zeros patch_central central_offsets vm_peak);

bootstrap LMX::Common::Archive::Zip;
bootstrap KALDOR::Install::Jar;

my $dir = temp_dir();
my $installer = ['ryninst', "#!/bin/sh\necho should not run\n"];
my ($overlap, $past_end, $names, $absolute, $tiny, $truncated) = python_zip(
    ["$dir/overlap.zip", ['twin', 'same data'], ['twin', 'same data'], $installer],
    ["$dir/past-end.zip", ['a', 'a'], $installer],
    ["$dir/dotdot.zip", ['../evil', 'outside'], $installer],
    ["$dir/absolute.zip", ["$dir/absolute-evil", 'outside'], $installer],
    ["$dir/tiny.zip", ['big', 'tiny'], $installer],
    ["$dir/truncated.zip", ['t', 't' x 5000, deflated => 1], $installer]);
patch_central($overlap, 1, {42 => 0});    # entry 2 points at entry 1's local header
my $bytes = read_file($past_end);
substr($bytes, rindex($bytes, "PK\x05\x06") + 16, 4) = pack('V', 0x7ffffff0);
write_file($past_end, $bytes);
patch_central($tiny, 0, {20 => 0xFFFFFFF0, 24 => 0xFFFFFFF0}, local => 1);
write_file($truncated, substr(read_file($truncated), 0, -30));
my $bomb = zip64_zeros("$dir/bomb.zip", 'zeros', 4097);

subtest 'the zip reader' => sub {
    my $before = vm_peak();
    my $zip = LMX::Common::Archive::Zip->new($overlap);
    is($zip->open('twin')->read, 'same data', 'overlapping entries read the bytes they name');
    is(LMX::Common::Archive::Zip->new($past_end), undef, 'a central directory past the end');
    is(LMX::Common::Archive::Zip->new($truncated), undef, 'a truncated archive');
    is(LMX::Common::Archive::Zip->new($names)->open('../evil')->read, 'outside',
       'names are data to the reader');

    my $member = LMX::Common::Archive::Zip->new($tiny)->open('big');
    my $buffer;
    is($member->sysread($buffer, 1 << 30), undef, '4 GiB declared in a tiny file: sysread fails');
    $member = LMX::Common::Archive::Zip->new($tiny)->open('big');
    is($member->read, undef, 'and so does read');

    $member = LMX::Common::Archive::Zip->new($bomb)->open('zeros');
    is($member->read, undef, 'a zip bomb is not read into memory');
    is($member->sysread($buffer, 1 << 20), 1 << 20, 'but can be streamed');
    cmp_ok(vm_peak() - $before, '<', 64 * 1024, 'memory stayed bounded (kB)');
};

subtest 'the Jar module' => sub {
    my $before = vm_peak();
    my $jar = KALDOR::Install::Jar->new();
    is($jar->OpenArchive($past_end), undef, 'a central directory past the end');
    is($jar->OpenArchive($truncated), undef, 'a truncated archive');
    is($jar->OpenArchive($names), 0, 'names that lead elsewhere');
    is($jar->Next()->{filename}, '../evil', 'are reported as stored');
    $jar->CloseArchive();

    $jar->OpenArchive($tiny);
    $jar->Open('big');
    my $buffer;
    is($jar->Read($buffer, 1 << 32), undef, '4 GiB declared in a tiny file: Read fails');
    is($jar->ReadLine(), undef, 'and so does ReadLine');
    $jar->CloseArchive();

    $jar->OpenArchive($bomb);
    $jar->Open('zeros');
    is($jar->Read($buffer, 1 << 20), 1 << 20, 'a zip bomb is read as far as asked');
    my $copy = KALDOR::Install::Jar->new();
    $copy->OpenArchive("$dir/copy.zip", 'w');
    $jar->CloseArchive();
    $jar->OpenArchive($tiny);
    $jar->Next();
    is($jar->CopyTo($copy), undef, 'CopyTo of an entry the file cannot hold');
    cmp_ok(vm_peak() - $before, '<', 64 * 1024, 'memory stayed bounded (kB)');
};

subtest 'the self-extractor' => sub {
    my $tmp = temp_dir();
    my $program = read_file(kit() . '/lmxsfx');
    my $run = sub {
        my ($archive) = @_;
        my $front = write_file("$archive.run", $program . read_file($archive));
        chmod 0755, $front;
        my ($code, $out, $err) = run_kit($front, [], env => {TMPDIR => $tmp});
        $err =~ s/\n$//;
        return "$code $err";
    };
    like($run->($overlap), qr/^1 lmxsfx: .*: entries of the archive overlap$/, 'overlapping entries');
    like($run->($past_end), qr/^1 lmxsfx: .*: the archive is damaged$/, 'a directory past the end');
    like($run->($names), qr/^1 lmxsfx: refusing the entry name "\.\.\/evil"$/, 'a ".." name');
    like($run->($absolute), qr/^1 lmxsfx: refusing the entry name "\//, 'an absolute name');
    like($run->($tiny), qr/^1 lmxsfx: .*: the archive is damaged$/, 'a size the file cannot hold');
    like($run->($bomb), qr/^1 lmxsfx: .*: the archive uses a feature this extractor lacks$/,
         'a zip64 bomb');
    ok(!-e "$tmp/../evil" && !-e "$dir/absolute-evil", 'nothing was written outside');
    opendir(my $d, $tmp);
    is_deeply([grep { !/^\.\.?$/ } readdir $d], [], 'and no directory is left');
};

finish();
