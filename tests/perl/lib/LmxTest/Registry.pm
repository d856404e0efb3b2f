package LmxTest::Registry;

# Helpers of the registry, store and installed-products tests: a fresh
# system store for each case (LMX_STORE_DIR in a temporary directory, so
# no test touches the real one), SQL on its part files through the sqlite3
# program, and the kit's lmxreg.
use strict;
use warnings;
use Exporter 'import';
use LmxTest qw(kit temp_dir run_kit);

our @EXPORT_OK = qw(fresh_store sql lmxreg);

# Points the store at a new, empty directory that other users can read;
# returns the directory.
sub fresh_store {
    my $dir = temp_dir();
    chmod 0755, $dir;
    $ENV{LMX_STORE_DIR} = $dir;
    return $dir;
}

# The output of SQL run on a part file by the sqlite3 program, chomped.
sub sql {
    my ($db, $query) = @_;
    open(my $out, '-|', 'sqlite3', $db, $query) or die "sqlite3: $!\n";
    local $/;
    my $text = <$out>;
    close $out;
    $text = '' unless defined $text;
    $text =~ s/\n\z//;
    return $text;
}

# Runs the kit's lmxreg; returns (exit code, stdout, stderr). Options as
# for run_kit, and prefix => [program, arguments] that runs it (setpriv).
sub lmxreg {
    my ($args, %opt) = @_;
    my @command = (@{ delete $opt{prefix} || [] }, kit() . '/lmxreg', @$args);
    return run_kit($command[0], [@command[1 .. $#command]], %opt);
}

1;
