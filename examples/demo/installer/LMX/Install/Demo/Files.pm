package LMX::Install::Demo::Files;

# Plain file work with Perl's built-ins only (the kit carries no File::*
# modules): absolute paths, directory trees, copies, sizes for people.
use strict;
use warnings;
use Exporter 'import';

our @EXPORT_OK = qw(absolute_path make_dirs copy_file tree_files size_text);

# PATH made absolute against BASE, with "." and ".." resolved by name and
# repeated or trailing slashes removed.
sub absolute_path {
    my ($path, $base) = @_;
    $path = "$base/$path" unless $path =~ m{^/};
    my @kept;
    for my $part (split m{/+}, $path) {
        next if $part eq '' || $part eq '.';
        if ($part eq '..') { pop @kept; next }
        push @kept, $part;
    }
    return '/' . join('/', @kept);
}

# Creates PATH and its missing parents; JOURNAL (optional) learns of each
# directory made. Dies with the reason when one cannot be made.
sub make_dirs {
    my ($path, $journal) = @_;
    my $sofar = '';
    for my $part (grep { length } split m{/+}, $path) {
        $sofar .= "/$part";
        next if -d $sofar;
        die "cannot create the directory $path: $sofar is not a directory\n" if -e $sofar;
        if (!mkdir $sofar) {
            my $why = "$!";
            next if -d $sofar;    # made by someone else meanwhile
            die "cannot create the directory $sofar: $why\n";
        }
        $journal->add(dir => $sofar) if $journal;
    }
    return $path;
}

# Copies FROM to TO (which must not exist) and gives it MODE, in pieces of
# 1 MiB written straight to the file.
sub copy_file {
    my ($from, $to, $mode) = @_;
    open(my $in, '<:raw', $from) or die "cannot read $from: $!\n";
    open(my $out, '>:raw', $to) or die "cannot create $to: $!\n";
    while (1) {
        my $got = sysread($in, my $buffer, 1 << 20);
        die "cannot read $from: $!\n" unless defined $got;
        last if $got == 0;
        for (my $at = 0; $at < $got;) {
            my $put = syswrite($out, $buffer, $got - $at, $at);
            die "cannot write $to: $!\n" unless $put;
            $at += $put;
        }
    }
    close $out or die "cannot write $to: $!\n";
    chmod $mode, $to or die "cannot set the mode of $to: $!\n";
}

# The files below DIR (symbolic links included, not followed), as paths
# relative to DIR, sorted. SKIP (optional) is asked for each directory
# below DIR (its path relative to DIR): true leaves it out with all it holds.
sub tree_files {
    my ($dir, $skip) = @_;
    my @found;
    my @pending = ('');
    while (@pending) {
        my $relative = shift @pending;
        my $path = length $relative ? "$dir/$relative" : $dir;
        opendir(my $handle, $path) or die "cannot read the directory $path: $!\n";
        for my $name (sort grep { !/^\.\.?$/ } readdir $handle) {
            my $child = length $relative ? "$relative/$name" : $name;
            if (-d "$dir/$child" && !-l "$dir/$child") {
                push @pending, $child unless $skip && $skip->($child);
            }
            else { push @found, $child }
        }
    }
    return sort @found;
}

# 5.1 MB, 830 kB, 12 bytes.
sub size_text {
    my ($bytes) = @_;
    return sprintf('%.1f GB', $bytes / 1e9) if $bytes >= 1e9;
    return sprintf('%.1f MB', $bytes / 1e6) if $bytes >= 1e6;
    return sprintf('%.0f kB', $bytes / 1e3) if $bytes >= 1e4;
    return "$bytes bytes";
}

1;
