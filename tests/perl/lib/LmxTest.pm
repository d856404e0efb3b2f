package LmxTest;

# Helpers of the Perl-level tests, which run inside the runtime through
# `ryninst --script`: the script's value is the process's exit code, so a
# test file ends with `LmxTest::finish()`.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use File::Path qw(make_path);
use File::Basename qw(dirname);
use Exporter 'import';

our @EXPORT_OK = qw(finish kit temp_dir run_kit write_file read_file make_tree gnu_tar
                    python_tar copy_kit);

# Done testing; 0 when every test passed, else 1.
sub finish {
    done_testing();
    $? = 0;    # the status of the last child process is not the test's
    return Test::More->builder->is_passing ? 0 : 1;
}

sub kit { return $ENV{LMX_TEST_KIT} || die "LMX_TEST_KIT is not set\n" }

sub temp_dir { return tempdir('lmxtestXXXXXX', TMPDIR => 1, CLEANUP => 1) }

sub write_file {
    my ($path, $content) = @_;
    make_path(dirname($path));
    open(my $out, '>:raw', $path) or die "cannot write $path: $!\n";
    print {$out} $content;
    close $out or die "cannot write $path: $!\n";
    return $path;
}

sub read_file {
    my ($path) = @_;
    open(my $in, '<:raw', $path) or return undef;
    local $/;
    my $content = <$in>;
    return defined $content ? $content : '';
}

# Writes files below $dir: make_tree($dir, 'a/b.pm' => 'text', ...).
sub make_tree {
    my ($dir, %files) = @_;
    write_file("$dir/$_", $files{$_}) for keys %files;
    return $dir;
}

# Packs members of $dir into $archive with GNU tar; @options go first
# (for example '--format=ustar' or '-z').
sub gnu_tar {
    my ($dir, $archive, $options, @members) = @_;
    system('tar', @$options, '-C', $dir, '-cf', $archive, @members) == 0
      or die "tar failed for $archive\n";
    return $archive;
}

# Packs with Python's tarfile: python_tar($archive, $mode, [name, data], ...)
# where $mode is "w:gz", "w" and so on, and data undef makes a directory.
sub python_tar {
    my ($archive, $mode, @members) = @_;
    my $dir = temp_dir();
    my @listing;
    for my $i (0 .. $#members) {
        my ($name, $data) = @{ $members[$i] };
        if (defined $data) {
            write_file("$dir/$i", $data);
            push @listing, "$name\t$dir/$i";
        } else {
            push @listing, "$name\t";
        }
    }
    write_file("$dir/listing", join("\n", @listing) . "\n");
    my $script = <<'PY';
import sys, tarfile, io
archive, mode, listing = sys.argv[1:4]
fmt = tarfile.GNU_FORMAT if len(sys.argv) < 5 else getattr(tarfile, sys.argv[4])
with tarfile.open(archive, mode, format=fmt) as tar:
    for line in open(listing).read().splitlines():
        name, path = line.split("\t")
        info = tarfile.TarInfo(name)
        if path:
            data = open(path, "rb").read()
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
        else:
            info.type = tarfile.DIRTYPE
            tar.addfile(info)
PY
    write_file("$dir/make.py", $script);
    system('python3', "$dir/make.py", $archive, $mode, "$dir/listing") == 0
      or die "python tarfile failed for $archive\n";
    return $archive;
}

# Runs a program with arguments; returns (exit code, stdout, stderr).
# Options: stdin => file, cwd => dir, env => {NAME => value}, setsid => 1
# (no controlling terminal, so the runtime's terminal output goes to
# standard error).
sub run_kit {
    my ($program, $args, %opt) = @_;
    my $dir = temp_dir();
    my $pid = fork();
    die "fork: $!\n" unless defined $pid;
    if ($pid == 0) {
        if ($opt{setsid}) { require POSIX; POSIX::setsid(); }
        chdir $opt{cwd} or die "chdir $opt{cwd}: $!\n" if $opt{cwd};
        $ENV{$_} = $opt{env}{$_} for keys %{ $opt{env} || {} };
        open(STDIN, '<', $opt{stdin} || '/dev/null') or die;
        open(STDOUT, '>', "$dir/out") or die;
        open(STDERR, '>', "$dir/err") or die;
        my @argv0 = defined $opt{argv0} ? ($opt{argv0}) : ($program);
        exec { $program } @argv0, @$args;
        exit 127;
    }
    waitpid($pid, 0);
    my $code = $? >> 8;
    return ($code, read_file("$dir/out"), read_file("$dir/err"));
}

# A copy of the kit's files in $dir (the library in $library_dir below it,
# the launchers in $launcher_dir), for tests of other layouts.
sub copy_kit {
    my ($dir, %layout) = @_;
    my $kit = kit();
    my $lib_dir = join('/', grep { length } $dir, $layout{library_dir});
    my $bin_dir = join('/', grep { length } $dir, $layout{launcher_dir});
    make_path($lib_dir, $bin_dir);
    system('cp', '-a', glob("$kit/*"), $lib_dir) == 0 or die "cannot copy the kit\n";
    if ($bin_dir ne $lib_dir) {
        for my $launcher (qw(ryninst rynsetup rynuninst)) {
            rename("$lib_dir/$launcher", "$bin_dir/$launcher") or die "rename: $!\n";
        }
    }
    return $dir;
}

1;
