package LmxTest::Untgz;

# Helpers of the KALDOR::Install::Untgz tests: hand-made tar archives (for
# headers that no tool writes), a snapshot of a directory tree by GNU find,
# and scripts run through the kit in a separate process.
use strict;
use warnings;
use Exporter 'import';
use LmxTest qw(kit temp_dir write_file run_kit);

our @EXPORT_OK = qw(tar_entry tar_end pax_entry base256 gzip_bytes tree_snapshot run_script walk
                    extract_all);

sub octal {
    my ($value, $width) = @_;
    return sprintf('%0*o', $width - 1, $value) . "\0";
}

# One entry of a ustar archive: a header block and the data padded to whole
# blocks. Options: type ('0'), mode (0644), mtime (1262401445), size (the
# data's length; a text is written as it stands into the field), magic
# ("ustar\0"), uid and gid, header (bytes that replace the header's start).
sub tar_entry {
    my ($name, $data, %o) = @_;
    $data = '' unless defined $data;
    my $size = defined $o{size} ? $o{size} : length $data;
    my $size_field = $size =~ /^\d+$/ ? octal($size, 12) : pack('a12', $size);
    my $header = pack('a100 a8 a8 a8 a12 a12 A8 a1 a100 a6 a2 a32 a32 a8 a8 a155 a12',
                      $name, octal(defined $o{mode} ? $o{mode} : 0644, 8),
                      octal($o{uid} || 0, 8), octal($o{gid} || 0, 8), $size_field,
                      octal(defined $o{mtime} ? $o{mtime} : 1262401445, 12), '',
                      defined $o{type} ? $o{type} : '0', $o{link} || '',
                      defined $o{magic} ? $o{magic} : "ustar\0", '00', 'root', 'root', '', '',
                      '', '');
    substr($header, 0, length $o{header}) = $o{header} if defined $o{header};
    my $sum = 0;
    $sum += $_ for unpack('C*', substr($header, 0, 148) . (' ' x 8) . substr($header, 156));
    substr($header, 148, 8) = sprintf('%06o', $sum) . "\0 ";
    my $padding = (512 - length($data) % 512) % 512;
    return $header . $data . ("\0" x $padding);
}

# A pax extended header ('x') with the given records, in order:
# pax_entry(path => 'a/b', size => 600).
sub pax_entry {
    my (@records) = @_;
    my $data = '';
    while (my ($key, $value) = splice(@records, 0, 2)) {
        my $body = " $key=$value\n";
        my $length = length($body) + 1;
        $length++ while length($length . $body) > $length;
        $data .= $length . $body;
    }
    return tar_entry('././@PaxHeader', $data, type => 'x');
}

# A 12-byte number field in GNU's base-256 form.
sub base256 {
    my ($value) = @_;
    return "\x80\0\0\0" . pack('Q>', $value);
}

# The two zero blocks that end an archive.
sub tar_end { return "\0" x 1024 }

sub gzip_bytes {
    my ($bytes) = @_;
    my $dir = temp_dir();
    write_file("$dir/a", $bytes);
    system('gzip', '-n', "$dir/a") == 0 or die "gzip failed\n";
    open(my $in, '<:raw', "$dir/a.gz") or die;
    local $/;
    return scalar <$in>;
}

# A snapshot of the tree below $dir by GNU find: relative path => type and
# permission bits, and for files size and modification time (seconds).
sub tree_snapshot {
    my ($dir) = @_;
    open(my $find, '-|', 'find', $dir, '-mindepth', '1', '-printf', '%P\t%y\t%m\t%s\t%T@\n')
      or die "find: $!\n";
    my %tree;
    while (my $line = <$find>) {
        chomp $line;
        my ($path, $type, $mode, $size, $time) = split /\t/, $line;
        $tree{$path} = $type eq 'd' ? "d $mode" : sprintf('%s %s %d %d', $type, $mode, $size, $time);
    }
    close $find;
    return \%tree;
}

# Runs Perl code through the kit's launcher in a new process; the code's
# value is the exit code. Returns (exit code, stdout, stderr). Options as
# for run_kit, and prefix => [program, arguments] that runs the launcher
# (for example ['prlimit', '--fsize=4096', '--']).
sub run_script {
    my ($code, %opt) = @_;
    my $dir = temp_dir();
    chmod 0755, $dir;
    my $script = write_file("$dir/script.pl", $code);
    chmod 0644, $script;
    my @command = (@{ $opt{prefix} || [] }, kit() . '/ryninst', '--script', $script,
                   '--inc', $ENV{LMX_TEST_INC});
    return run_kit($command[0], [@command[1 .. $#command]], %opt);
}

# The listing lines of a walk over the archive, in order, and the error
# texts at its end.
sub walk {
    my ($archive) = @_;
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($archive) == 0 or return ([], [$u->GetErr()]);
    my @lines;
    while (defined(my $line = $u->Next())) { push @lines, $line }
    return (\@lines, [$u->GetErr()]);
}

# Opens the archive (dying when it cannot), sets the destination when one
# is given, and extracts every entry; returns the object and [name, result,
# [texts]] per entry.
sub extract_all {
    my ($archive, $dest, $test_run) = @_;
    my $u = KALDOR::Install::Untgz::new();
    $u->Open($archive, $test_run || 0) == 0 or die join("\n", $u->GetErr()), "\n";
    $u->SetDestDir($dest) if defined $dest;
    my @results;
    while (defined $u->Next()) {
        my @entry = $u->GetHeader();
        my $result = $u->ExtractFile();
        push @results, [$entry[3], $result, [$u->GetErr()]];
    }
    return ($u, \@results);
}

1;
