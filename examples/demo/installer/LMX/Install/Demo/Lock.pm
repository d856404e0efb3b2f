package LMX::Install::Demo::Lock;

# The lock on a target directory: an exclusive FileLock on the file
# TARGET/.ryninst.lock, held by an installation or an uninstallation from
# start to end, so that two of them never work in one target at once. The
# lock never waits: the second one is refused and told who is there.
#
# The lock file is removed when the lock is given back (if this process
# made it), so the target ends as it was. Removing it while held is safe
# because a process that took the lock checks afterwards that the file it
# locked is still the one at the path, and starts over when it is not.
use strict;
use warnings;
use LMX::Install::Demo::Failure qw(fail BUSY FAILED);
use LMX::Install::Demo::Product;

bootstrap KALDOR::Install::FileLock;

sub same_file {
    my ($handle, $path) = @_;
    my @open = stat $handle;
    my @named = stat $path;
    return @named && $open[0] == $named[0] && $open[1] == $named[1];
}

# Takes the lock of TARGET (which exists); returns the lock record.
sub take {
    my ($target) = @_;
    my $path = "$target/$LMX::Install::Demo::Product::PRODUCT{lock}";
    for (1 .. 10) {
        fail(FAILED, "$path is a symbolic link: not taken as the lock file") if -l $path;
        my $existed = -e $path;
        open(my $handle, '+>>', $path) or fail(FAILED, "cannot open the lock file $path: $!");
        my $lock = KALDOR::Install::FileLock::new(fileno($handle), 1)
          or fail(FAILED, "cannot make a lock for $path");
        if ($lock->Lock() != 0) {
            my $error = $lock->GetError();
            fail(BUSY, "another installation or uninstallation is working in $target "
                       . "(it holds $path); try again when it has finished")
              if $lock->Test() == 1;
            fail(FAILED, "cannot lock $path: " . (defined $error ? $error : 'unknown error'));
        }
        return { path => $path, handle => $handle, lock => $lock, made => !$existed }
          if same_file($handle, $path);
        close $handle;    # the holder before us removed it: take the new one
    }
    fail(FAILED, "cannot lock $path: it keeps being replaced");
}

# Gives the lock back (and removes the lock file this process made).
sub release {
    my ($lock) = @_;
    return unless $lock && $lock->{handle};
    unlink $lock->{path} if $lock->{made};
    $lock->{lock}->Unlock();
    close $lock->{handle};
    $lock->{handle} = undef;
}

1;
