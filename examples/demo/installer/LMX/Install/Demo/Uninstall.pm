package LMX::Install::Demo::Uninstall;

# rynuninst [--target DIR]: removes what the installation record in
# TARGET/install lists. Run from the installed tree (the runtime's copy,
# UsedLMXRUN "installed") the target is the tree it runs from; from a kit
# it is --target or the registry entry's InstallLocation.
#
# Under the target's lock, in this order: the product's files and links
# (a file whose MD5 sum no longer matches was changed by the user and is
# kept), the registry entry, the runtime's copy with the record, then the
# directories that are empty now. When a product file cannot be removed,
# the rest stays (record, runtime, entry), so that a later run finishes the
# work. Without a record there is nothing to do, so a second run is
# harmless. Signals are ignored while it works: a removal cut in half would
# only leave more to explain.
#
# The record's paths are taken relative to where the tree is now (it may
# have moved, or be reached by another name), and only paths below the
# target with no symbolic link on the way down are touched: whoever can
# write the tree can change the record, and the uninstaller may be root.
use strict;
use warnings;
use Carp ();    # loaded now: the runtime's copy is gone by the end of the run
use LMX::Install::Demo::Failure qw(fail FAILED USAGE);
use LMX::Install::Demo::Install;
use LMX::Install::Demo::Journal;
use LMX::Install::Demo::Lock;
use LMX::Install::Demo::Product;
use LMX::Install::Demo::Registry;

bootstrap KALDOR::Install::MD5Sum;

my %PRODUCT = %LMX::Install::Demo::Product::PRODUCT;

# The target: --target, else the tree this uninstaller runs from, else the
# registry's InstallLocation; undef when none is known.
sub find_target {
    my ($option) = @_;
    return $option->{target} if defined $option->{target};
    if (($KALDOR::Install::Config{UsedLMXRUN} || '') eq 'installed') {
        (my $target = $KALDOR::Install::Config{RuntimeDir}) =~ s{/[^/]+/?\z}{};
        return $target;
    }
    my ($hive, $location) = LMX::Install::Demo::Registry::find_entry();
    return $hive && length $location ? $location : undef;
}

# Removes the registry entry when it names one of LOCATIONS (the target,
# and where the record says the tree was installed).
sub remove_entry {
    my ($report, $target, @locations) = @_;
    my ($hive, $location) = LMX::Install::Demo::Registry::find_entry();
    return unless $hive;
    my $key = LMX::Install::Demo::Registry::key_name($hive);
    if (!grep { $_ eq $location } $target, @locations) {
        push @{ $report->{notes} }, "the registry entry $key names $location: left alone";
        return;
    }
    my $problem = LMX::Install::Demo::Registry::delete_entry($hive);
    if ($problem) { push @{ $report->{problems} }, $problem }
    else { $report->{entry} = $key }
}

# True when PATH lies below TARGET and no level between them is a symbolic
# link (the target itself may be reached through one).
sub below_target {
    my ($path, $target) = @_;
    return 0 unless index($path, "$target/") == 0;
    my @parts = split m{/}, substr($path, length($target) + 1), -1;
    return 0 if grep { $_ eq '' || $_ eq '.' || $_ eq '..' } @parts;
    my $level = $target;
    for my $part (@parts[0 .. $#parts - 1]) {
        $level .= "/$part";
        return 0 if -l $level;
    }
    return 1;
}

# The record's PATH for the tree now at TARGET, the record having been
# written for RECORDED.
sub rebased {
    my ($path, $recorded, $target) = @_;
    return $target if $path eq $recorded;
    return index($path, "$recorded/") == 0 ? $target . substr($path, length $recorded) : $path;
}

sub remove_file {
    my ($path, $report) = @_;
    if (unlink $path) { $report->{removed}++ }
    else { push @{ $report->{problems} }, "cannot remove $path: $!" }
}

# A product file or link: removed when it is as installed, kept when the
# user changed it.
sub remove_installed {
    my ($kind, $path, $detail, $report) = @_;
    return $report->{gone}++ unless lstat $path;
    my $unchanged = $kind eq 'link'
      ? (readlink($path) // '') eq $detail
      : -f $path && !-l $path && (KALDOR::Install::MD5Sum::MD5Sum($path) // '') eq ($detail // '');
    return push @{ $report->{kept} }, $path unless $unchanged;
    remove_file($path, $report);
}

sub remove_dirs {
    my ($report, @dirs) = @_;
    for my $dir (reverse @dirs) {
        next unless -d $dir;
        if (rmdir $dir) { $report->{dirs}++ }
        else { push @{ $report->{kept_dirs} }, $dir }
    }
}

sub uninstall {
    my ($target, $report) = @_;
    my $record = "$target/$PRODUCT{record}";
    unless (-e $record) {
        remove_entry($report, $target);
        return;
    }
    fail(FAILED, "the installation record $record lies below a symbolic link; nothing was removed")
      unless below_target($record, $target);
    my $lock = LMX::Install::Demo::Lock::take($target);
    my $done = eval { remove_recorded($target, $record, $lock, $report); 1 };
    LMX::Install::Demo::Lock::release($lock);    # also when the removal failed
    die $@ unless $done;
}

# Removes what RECORD lists, under LOCK (given back before the target's own
# directories go).
sub remove_recorded {
    my ($target, $record, $lock, $report) = @_;
    my ($journal, $header) = LMX::Install::Demo::Journal->load($record);
    fail(FAILED, "cannot read the installation record $record: $!") unless $journal;
    my $recorded = $header->{target} ? $header->{target}[0] : '';
    fail(FAILED, "the installation record $record names no target") unless length $recorded;
    # Directories made above the target where a moved tree was installed
    # are none of its business.
    my @steps = map { [$_->[0], rebased($_->[1], $recorded, $target), $_->[2]] }
                grep { $_->[0] ne 'dir' || $recorded eq $target || index($recorded, "$_->[1]/") != 0 }
                $journal->steps;
    # The directories made for the target (it and those above it) are the
    # only paths that do not lie below it.
    my %around = map { $_->[1] => 1 }
                 grep { $_->[0] eq 'dir' && ($_->[1] eq $target || index($target, "$_->[1]/") == 0) }
                 @steps;
    my @outside = grep { !$around{$_} && !below_target($_, $target) } map { $_->[1] } @steps;
    fail(FAILED, "the installation record $record names $outside[0], which does not lie below "
                 . "$target (or lies below a symbolic link); nothing was removed") if @outside;
    $report->{target} = $target;
    remove_installed(@$_, $report) for grep { $_->[0] eq 'file' || $_->[0] eq 'link' } @steps;
    return if $report->{problems};
    remove_entry($report, $target, $recorded);
    remove_file($_->[1], $report) for grep { $_->[0] eq 'runtime' && lstat $_->[1] } @steps;
    my @dirs = grep { !$around{$_} } map { $_->[1] } grep { $_->[0] eq 'dir' } @steps;
    remove_dirs($report, @dirs);
    LMX::Install::Demo::Lock::release($lock);
    remove_dirs($report, grep { $around{$_} } map { $_->[1] } @steps);
    $report->{done} = 1;
}

sub show {
    my ($target, $report) = @_;
    my $title = LMX::Install::Demo::Product::title();
    print "$_\n" for @{ $report->{notes} || [] };
    if ($report->{target} && !$report->{done}) {
        printf "removed %d files and links; the installation record, the runtime's copy and the "
               . "registry entry are kept\n", $report->{removed} || 0;
        return;
    }
    unless ($report->{done}) {
        print "removed the stale registry entry $report->{entry}\n" if $report->{entry};
        print "$title: nothing is installed in $target\n";
        return;
    }
    printf "removed %d files and links, %d directories and the runtime's copy\n",
      $report->{removed} || 0, $report->{dirs} || 0;
    print "removed the registry entry $report->{entry}\n" if $report->{entry};
    printf "%d %s gone already\n", $report->{gone}, $report->{gone} == 1 ? 'file was' : 'files were'
      if $report->{gone};
    if (my @kept = @{ $report->{kept} || [] }) {
        print "kept ", scalar @kept, " file", (@kept == 1 ? '' : 's'),
          " changed since the installation:\n", map { "  $_\n" } @kept;
    }
    if (my @dirs = @{ $report->{kept_dirs} || [] }) {
        print "kept ", scalar @dirs, " director", (@dirs == 1 ? 'y that still holds' : 'ies that still hold'),
          " other files:\n", map { "  $_\n" } @dirs;
    }
    print "$title is uninstalled from $target.\n";
}

sub run {
    my (@args) = @_;
    $| = 1;
    LMX::Install::Demo::Failure::ignore_signals();
    my ($target, %report);
    my $done = eval {
        $target = find_target(LMX::Install::Demo::Install::options('rynuninst', \@args, ''));
        my $title = LMX::Install::Demo::Product::title();
        unless (defined $target) {
            print "$title is not installed (no uninstall entry in HKLM or HKCU)\n";
            return 1;
        }
        my $runtime = $KALDOR::Install::Config{RuntimeDir};
        print "$title: uninstalling from $target (runtime: ",
          ($KALDOR::Install::Config{UsedLMXRUN} || '') eq 'installed'
            ? "the installed copy in $runtime" : "the kit in $runtime", ")\n";
        uninstall($target, \%report);
        show($target, \%report);
        1;
    };
    unless ($done) {
        my $failure = LMX::Install::Demo::Failure::caught($@);
        return LMX::Install::Demo::Install::usage_failure($failure)
          if $failure->{code} == USAGE || $failure->{code} == 0;
        print STDERR "rynuninst: $failure->{text}\n";
        return $failure->{code};
    }
    print STDERR "rynuninst: $_\n" for @{ $report{problems} || [] };
    return 0 if $report{done} && !$report{problems};
    return 0 unless $report{target};    # nothing was installed
    print STDERR "rynuninst: the uninstallation is not complete; run it again once the files above "
                 . "can be removed\n" unless $report{done};
    return FAILED;
}

1;
