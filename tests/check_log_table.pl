#!/usr/bin/perl
# Every line the daemon can log must have a row in README.md's "Log
# messages" table with the same text and level, and every row must still be
# logged somewhere: fails on either difference.
#   check_log_table.pl SOURCE_DIR
use strict;
use warnings;

my $top = shift // die "usage: check_log_table.pl SOURCE_DIR\n";
my %level_name = (LOG_ERR => 'err', LOG_WARNING => 'warning', LOG_NOTICE => 'notice',
                  LOG_INFO => 'info', LOG_DEBUG => 'debug', LOG_CRIT => 'crit');
my $literal = qr/"(?:[^"\\]|\\.)*"/;

sub slurp { my ($path) = @_; open my $f, '<', $path or die "$path: $!\n"; local $/; <$f> }

# Adjacent literals ("a" "b") are one string, as the compiler joins them.
sub joined { my ($text) = @_; join '', map { s/^"|"$//gr =~ s/\\"/"/gr } ($text =~ /($literal)/g) }

my %code;
for my $file (sort glob "$top/{core,modbus,serial,net,store,daemon}/*.{cpp,hpp}") {
    my $text = slurp($file) =~ s{//[^\n]*}{}gr;
    while ($text =~ /\b(?:syslog|log_message|log_send_line)\s*\(\s*(LOG_[A-Z]+)\s*,\s*((?:$literal\s*)+)/g) {
        my ($level, $format) = ($level_name{$1} // $1, joined($2));
        # The start-up failure helper passes its line through.
        next if $format eq '%s';
        $code{"$level\t$format"} = $file =~ s{^\Q$top\E/}{}r;
    }
    # Start-up failures: fail("...") logs its line at LOG_ERR.
    if ($file =~ m{daemon/main\.cpp$}) {
        $code{"err\t" . joined($1)} = 'daemon/main.cpp' while $text =~ /\bfail\s*\(\s*((?:$literal\s*)+)\)/g;
    }
}
die "no log calls found under $top\n" unless %code;

my $readme = slurp("$top/README.md");
my ($section) = $readme =~ /^## Log messages\n(.*?)(?=^## |\z)/ms or die "README.md has no '## Log messages' section\n";
my %table;
for my $row ($section =~ /^\|\s*`[^\n]*/mg) {
    my @cells = map { s/^\s+|\s+$//gr } split /\|/, $row;
    my ($text) = $cells[1] =~ /^`(.*)`$/ or die "row without a `message`: $row\n";
    $table{"$cells[2]\t$text"} = 1;
}

my $status = 0;
for my $key (sort keys %code) {
    next if $table{$key};
    my ($level, $text) = split /\t/, $key;
    print "missing from README.md: `$text` ($level, $code{$key})\n";
    $status = 1;
}
for my $key (sort keys %table) {
    next if $code{$key};
    my ($level, $text) = split /\t/, $key;
    print "README.md lists `$text` ($level), which the code no longer logs\n";
    $status = 1;
}
printf "%d messages in the code, %d rows in the table\n", scalar(keys %code), scalar(keys %table);
exit $status;
