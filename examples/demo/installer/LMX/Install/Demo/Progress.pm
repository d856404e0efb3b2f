package LMX::Install::Demo::Progress;

# Progress of one stage that moves a known number of bytes. On a terminal
# it is a bar redrawn in place (carriage return, no other control
# character): percentage, bytes, rate and time left, redrawn whenever the
# percentage changes and at least every half second, ending at 100 %.
# Elsewhere it prints one line when the stage is over.
use strict;
use warnings;

my $BAR = 20;

# Seconds with hundredths where the host tells them (/proc/uptime).
sub now {
    if (open(my $uptime, '<', '/proc/uptime')) {
        my $line = <$uptime>;
        return $1 if defined $line && $line =~ /^(\d+(?:\.\d+)?)/;
    }
    return time;
}

sub new {
    my ($class, $stage, $total, $terminal) = @_;
    my $self = bless { stage => $stage, total => $total, done => 0, terminal => $terminal,
                       start => now(), percent => 0, drawn_at => 0, width => 0 }, $class;
    $self->draw($self->{start}) if $terminal;
    return $self;
}

sub time_text {
    my ($seconds) = @_;
    return sprintf('%d:%02d', int($seconds / 60), int($seconds) % 60);
}

sub draw {
    my ($self, $now) = @_;
    my $total = $self->{total};
    my $fraction = $total > 0 ? $self->{done} / $total : 1;
    my $elapsed = $now - $self->{start};
    my $rate = $elapsed > 0 ? $self->{done} / $elapsed : 0;
    my $left = $self->{done} >= $total ? '0:00'
             : $rate > 0 && $elapsed >= 0.2 ? time_text(($total - $self->{done}) / $rate) : '-:--';
    my $filled = int($fraction * $BAR + 0.5);
    my $line = sprintf('%-10s [%s%s] %3d %%  %.1f/%.1f MB  %.1f MB/s  %s left', $self->{stage},
                       '#' x $filled, '.' x ($BAR - $filled), int($fraction * 100),
                       $self->{done} / 1e6, $total / 1e6, $rate / 1e6, $left);
    my $pad = $self->{width} > length $line ? ' ' x ($self->{width} - length $line) : '';
    print "\r$line$pad";
    $self->{width} = length $line;
    $self->{drawn_at} = $now;
}

# DONE bytes of the stage are through.
sub update {
    my ($self, $done) = @_;
    $self->{done} = $done;
    return unless $self->{terminal};
    my $percent = $self->{total} > 0 ? int($done * 100 / $self->{total}) : 100;
    my $now = now();
    return if $percent == $self->{percent} && $now - $self->{drawn_at} < 0.5;
    $self->{percent} = $percent;
    $self->draw($now);
}

# The stage is over: the bar at 100 % and a line break on a terminal, else
# SUMMARY with the time taken.
sub finish {
    my ($self, $summary) = @_;
    my $now = now();
    if ($self->{terminal}) {
        $self->{done} = $self->{total};
        $self->draw($now);
        print "\n";
    } else {
        printf "%s in %.1f s\n", $summary, $now - $self->{start};
    }
}

# The stage stopped early: end the bar's line so that messages start on a
# line of their own.
sub abandon {
    my ($self) = @_;
    print "\n" if $self->{terminal};
}

1;
