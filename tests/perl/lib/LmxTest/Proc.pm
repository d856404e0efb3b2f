package LmxTest::Proc;

# Helpers of the process tests: child scripts run by the system Perl, the
# runtime's open descriptors, and its zombie children, read from /proc.
use strict;
use warnings;
use LmxTest qw(write_file);
use Exporter 'import';

our @EXPORT_OK = qw(child_command open_descriptors zombie_children cmdline_of);

# Writes a Perl script and returns the command line that runs it, with
# optional arguments (which must not need quoting).
sub child_command {
    my ($dir, $name, $code, @args) = @_;
    my $path = write_file("$dir/$name.pl", "use strict; use warnings;\n$code");
    return join ' ', 'perl', $path, @args;
}

# The descriptors this process has open.
sub open_descriptors {
    opendir(my $dir, '/proc/self/fd') or die "cannot list /proc/self/fd: $!\n";
    my @fds = grep { /^\d+$/ } readdir $dir;
    closedir $dir;
    return scalar(@fds) - 1;    # without the directory's own descriptor
}

# The ids of this process's children that have ended and not been collected.
sub zombie_children {
    my @zombies;
    for my $stat (glob '/proc/[0-9]*/stat') {
        open(my $in, '<', $stat) or next;
        my $line = <$in>;
        next unless defined $line && $line =~ /^(\d+) \(.*\) (\S) (\d+)/s;
        push @zombies, $1 if $2 eq 'Z' && $3 == $$;
    }
    return @zombies;
}

# The arguments of a process as /proc records them.
sub cmdline_of {
    my ($pid) = @_;
    open(my $in, '<', "/proc/$pid/cmdline") or return;
    local $/;
    my $raw = <$in>;
    return split /\0/, $raw;
}

1;
