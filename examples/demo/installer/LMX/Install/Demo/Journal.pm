package LMX::Install::Demo::Journal;

# The journal of an installation: every directory, file and link it makes,
# in order, each noted before it is made. Undoing it (newest first) puts
# the target back as it was; saved into the installed tree it is the record
# from which the uninstaller removes exactly what was installed.
#
# A step is [kind, path, detail]:
#   dir      a directory the installation created
#   file     a product file, detail its MD5 sum
#   link     a symbolic link, detail its target
#   runtime  a file of the runtime's copy (removed whatever became of it)
#   call     not a file: detail is the code that undoes it, path says what
#            it is (for example the registry entry); never saved
use strict;
use warnings;

sub new { return bless { steps => [] }, shift }

sub add {
    my ($self, $kind, $path, $detail) = @_;
    push @{ $self->{steps} }, [$kind, $path, $detail];
}

sub steps { return @{ $_[0]{steps} } }

sub count { return scalar @{ $_[0]{steps} } }

# Forgets the steps after the first KEEP without undoing them.
sub forget { my ($self, $keep) = @_; splice(@{ $self->{steps} }, $keep || 0) }

# Undoes the steps after the first KEEP, newest first. Returns the texts of
# what could not be undone (nothing when the target is as it was).
sub undo {
    my ($self, $keep) = @_;
    my @left;
    while (@{ $self->{steps} } > ($keep || 0)) {
        my ($kind, $path, $detail) = @{ pop @{ $self->{steps} } };
        if ($kind eq 'call') {
            my $problem = $detail->();
            push @left, "$path: $problem" if $problem;
        } elsif ($kind eq 'dir') {
            push @left, "cannot remove the directory $path: $!" if -d $path && !rmdir $path;
        } elsif ((lstat $path) && !unlink $path) {
            push @left, "cannot remove $path: $!";
        }
    }
    return @left;
}

# Writes the journal to PATH, after header lines [name, value, value].
sub save {
    my ($self, $path, @header) = @_;
    open(my $out, '>', $path) or die "cannot write $path: $!\n";
    my @lines = map { join("\t", @$_) . "\n" } @header;
    for my $step (grep { $_->[0] ne 'call' } $self->steps) {
        my ($kind, $file, $detail) = @$step;
        push @lines, join("\t", $kind, defined $detail ? $detail : '-', $file) . "\n";
    }
    print {$out} @lines or die "cannot write $path: $!\n";
    close $out or die "cannot write $path: $!\n";
}

# Reads a saved journal: (journal, {header name => [values]}), or an empty
# list when PATH cannot be read. Dies on a line it does not understand.
sub load {
    my ($class, $path) = @_;
    open(my $in, '<', $path) or return;
    my $self = $class->new();
    my %header;
    while (my $line = <$in>) {
        chomp $line;
        my @fields = split /\t/, $line, -1;
        if (@fields == 3 && $fields[0] =~ /^(dir|file|link|runtime)$/) {
            my ($kind, $detail, $file) = @fields;
            $self->add($kind, $file, $detail eq '-' ? undef : $detail);
        } elsif (@fields >= 2 && $fields[0] =~ /^\w+$/) {
            $header{ shift @fields } = \@fields;
        } else {
            die "line $. of $path is not an installation record line\n";
        }
    }
    return ($self, \%header);
}

1;
