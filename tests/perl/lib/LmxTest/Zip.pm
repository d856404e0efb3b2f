package LmxTest::Zip;

# Helpers of the zip and Jar tests: archives made by Python's zipfile and by
# Info-ZIP zip, a zip64 entry of many GiB of zeros made by hand (a few MB on
# disk), the fields that `zipinfo -v` reports, and the Jar module's
# 80-byte entry description as named fields.
use strict;
use warnings;
use Exporter 'import';
use JSON::PP ();
use LmxTest qw(temp_dir write_file read_file);

our @EXPORT_OK = qw(python_zip info_zip zip64_zeros zipinfo fileinfo_fields patch_central
                    central_offsets vm_peak);

my $python_zip = <<'PY';
import json, sys, zipfile
for spec in json.load(open(sys.argv[1])):
  with zipfile.ZipFile(spec["archive"], "w") as z:
    for m in spec["members"]:
        info = zipfile.ZipInfo(m["name"], date_time=tuple(m.get("date", [2007, 6, 5, 4, 3, 2])))
        info.compress_type = zipfile.ZIP_DEFLATED if m.get("deflated") else zipfile.ZIP_STORED
        if "external" in m:
            info.external_attr = m["external"]
        data = bytes.fromhex(m["data"])
        with z.open(info, "w", force_zip64=bool(m.get("zip64"))) as out:
            out.write(data)
    if spec.get("comment"):
        z.comment = spec["comment"].encode()
PY

# python_zip($archive, [name => data, deflated => 1, date => [y, m, d, h, mi, s],
# zip64 => 1, external => (0100644 << 16)], ..., {comment => 'text'}); with
# several array references of these arguments, one Python run makes them all
# and returns the archives.
sub python_zip {
    my @archives = ref $_[0] ? @_ : ([@_]);
    my @specs;
    for my $arguments (@archives) {
        my ($archive, @members) = @$arguments;
        my %archive = ref $members[-1] eq 'HASH' ? %{ pop @members } : ();
        my @spec;
        for my $m (@members) {
            my ($name, $data, %o) = @$m;
            push @spec, {name => $name, data => unpack('H*', $data), %o};
        }
        push @specs, {archive => $archive, members => \@spec, %archive};
    }
    my $dir = temp_dir();
    write_file("$dir/spec.json", JSON::PP->new->encode(\@specs));
    write_file("$dir/make.py", $python_zip);
    system('python3', "$dir/make.py", "$dir/spec.json") == 0 or die "zipfile failed\n";
    return wantarray ? map { $_->[0] } @archives : $archives[0][0];
}

# Packs @members of $dir with Info-ZIP zip; @$options go first.
sub info_zip {
    my ($dir, $archive, $options, @members) = @_;
    my $pid = fork();
    if ($pid == 0) {
        chdir $dir or exit 127;
        exec 'zip', '-q', @$options, $archive, @members;
        exit 127;
    }
    waitpid($pid, 0);
    die "zip failed for $archive\n" if $?;
    return $archive;
}

my $zip64_zeros = <<'PY';
import ctypes, struct, sys, zlib
archive, name, mib = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3])
block = zlib.compressobj(9, zlib.DEFLATED, -15)
one = block.compress(bytes(1 << 20)) + block.flush(zlib.Z_FULL_FLUSH)
data = one * mib + zlib.compressobj(9, zlib.DEFLATED, -15).flush()
size = mib << 20
z = ctypes.CDLL("libz.so.1")
z.crc32_combine64.restype = ctypes.c_ulong
z.crc32_combine64.argtypes = [ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int64]
crc = 0
piece = zlib.crc32(bytes(1 << 20))
for _ in range(mib):
    crc = z.crc32_combine64(crc, piece, 1 << 20)
local_extra = struct.pack("<HHQQ", 1, 16, size, len(data))
central_extra = struct.pack("<HHQQ", 1, 16, size, len(data))
dos_time, dos_date = (3 << 11) | (4 << 5) | 5, ((2017 - 1980) << 9) | (6 << 5) | 7
local = struct.pack("<IHHHHHIIIHH", 0x04034b50, 45, 0, 8, dos_time, dos_date, crc,
                    0xFFFFFFFF, 0xFFFFFFFF, len(name), len(local_extra)) + name + local_extra
central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 0x031e, 45, 0, 8, dos_time, dos_date,
                      crc, 0xFFFFFFFF, 0xFFFFFFFF, len(name), len(central_extra), 0, 0, 0,
                      0o100644 << 16, 0) + name + central_extra
cd_offset = len(local) + len(data)
eocd64_offset = cd_offset + len(central)
eocd64 = struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 0x031e, 45, 0, 0, 1, 1, len(central),
                     cd_offset)
locator = struct.pack("<IIQI", 0x07064b50, 0, eocd64_offset, 1)
eocd = struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 1, 1, len(central), cd_offset, 0)
with open(archive, "wb") as out:
    out.write(local + data + central + eocd64 + locator + eocd)
PY

# A zip64 archive of one deflated entry of $mib MiB of zeros (its CRC
# right), written by hand so that the data need not be compressed.
sub zip64_zeros {
    my ($archive, $name, $mib) = @_;
    my $dir = temp_dir();
    write_file("$dir/make.py", $zip64_zeros);
    system('python3', "$dir/make.py", $archive, $name, $mib) == 0 or die "zip64 failed\n";
    return $archive;
}

my %months;
@months{qw(Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)} = (0 .. 11);

# The entries as `zipinfo -v` reports them: a list of hashes with name, crc
# (a number), compressed and uncompressed size, name, extra and comment
# lengths, method, date ([sec, min, hour, day, month 0-11, year]), unix mode
# and DOS attributes (when reported), host and version made by.
sub zipinfo {
    my ($archive) = @_;
    my $text = `zipinfo -v '$archive' 2>/dev/null`;
    my @entries;
    for my $section (split /^Central directory entry #\d+:\n-+\n/m, $text) {
        next unless $section =~ /^\s+offset of local header/m;
        my %e;
        ($e{name}) = $section =~ /^\n  (.*)\n/;
        my %field = $section =~ /^  ([^:\n]+?):\s+(.*)$/mg;
        $e{crc} = hex $field{'32-bit CRC value (hex)'};
        ($e{compressed}) = $field{'compressed size'} =~ /(\d+)/;
        ($e{uncompressed}) = $field{'uncompressed size'} =~ /(\d+)/;
        ($e{name_length}) = $field{'length of filename'} =~ /(\d+)/;
        ($e{extra_length}) = $field{'length of extra field'} =~ /(\d+)/;
        ($e{comment_length}) = $field{'length of file comment'} =~ /(\d+)/;
        $e{method} = $field{'compression method'};
        $e{host} = $field{'file system or operating system of origin'};
        $e{made_by_version} = $field{'version of encoding software'};
        $e{needed_version} = $field{'minimum software version required to extract'};
        my ($y, $mon, $d, $h, $mi, $s) =
          $field{'file last modified on (DOS date/time)'} =~ /(\d+) (\w+) (\d+) (\d+):(\d+):(\d+)/;
        $e{date} = [$s + 0, $mi + 0, $h + 0, $d + 0, $months{$mon}, $y + 0];
        for my $key (keys %field) {
            $e{unix_mode} = oct $1 if $key =~ /^Unix file attributes \((\d+) octal\)/;
            $e{dos_attributes} = hex $1 if $key =~ /^MS-DOS file attributes \(([0-9A-Fa-f]+) hex\)/;
        }
        push @entries, \%e;
    }
    return @entries;
}

my @fileinfo_names = qw(version_made_by version_needed flags method dos_date crc compressed
                        uncompressed name_length extra_length comment_length disk internal
                        external sec min hour day month year);

# The Jar module's entry description as a hash of its twenty fields.
sub fileinfo_fields {
    my ($fileinfo) = @_;
    my %f;
    @f{@fileinfo_names} = unpack('V20', $fileinfo);
    return \%f;
}

# The offsets of the central-directory records of a plain archive.
sub central_offsets {
    my ($bytes) = @_;
    my $end = rindex($bytes, "PK\x05\x06");
    my ($count, $offset) = unpack('x10 v x4 V', substr($bytes, $end, 22));
    my @records;
    for (1 .. $count) {
        push @records, $offset;
        my ($n, $m, $k) = unpack('x28 v v v', substr($bytes, $offset, 46));
        $offset += 46 + $n + $m + $k;
    }
    return @records;
}

# Rewrites 32-bit fields of the $index-th central record (and, with
# `local`, the same fields of its local header, 2 bytes earlier) in place:
# patch_central($path, $index, {20 => compressed, 24 => uncompressed}, local => 1).
sub patch_central {
    my ($path, $index, $fields, %o) = @_;
    my $bytes = read_file($path);
    my $record = (central_offsets($bytes))[$index];
    my $local = unpack('V', substr($bytes, $record + 42, 4));
    while (my ($offset, $value) = each %$fields) {
        substr($bytes, $record + $offset, 4) = pack('V', $value);
        substr($bytes, $local + $offset - 2, 4) = pack('V', $value) if $o{local};
    }
    write_file($path, $bytes);
    return $path;
}

# The peak resident memory of this process so far, in kB.
sub vm_peak {
    open(my $status, '<', '/proc/self/status') or return 0;
    my ($peak) = map { /(\d+)/ ? $1 : () } grep { /^VmHWM/ } <$status>;
    return $peak || 0;
}

1;
