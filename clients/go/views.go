package calvex

// Small views of a snapshot: the hottest reading and a summary per kind.

// KindSummary is one kind's readings that can be temperatures: how many,
// the largest and the mean, and how many were left out (placeholders,
// readings below the kind's floor).
type KindSummary struct {
	Count     int
	Max, Mean float64
	LeftOut   int
}

// Summary is each kind's KindSummary; a kind none of whose readings can be
// a temperature is absent, as if it had none. The mean sums in list order,
// then divides, so every client gets the same number.
func Summary(s Snapshot) map[string]KindSummary {
	type total struct {
		count, leftOut int
		max, sum       float64
	}
	totals := map[string]*total{}
	for _, sensor := range s.Sensors {
		kind := KindOf(sensor.Name)
		each := totals[kind]
		if each == nil {
			each = &total{}
			totals[kind] = each
		}
		switch {
		case !plausible(kind, sensor.Celsius):
			each.leftOut++
		case each.count == 0:
			each.count, each.max, each.sum = 1, sensor.Celsius, sensor.Celsius
		default:
			each.count++
			each.sum += sensor.Celsius
			each.max = max(each.max, sensor.Celsius)
		}
	}
	summary := map[string]KindSummary{}
	for kind, each := range totals {
		if each.count > 0 {
			summary[kind] = KindSummary{Count: each.count, Max: each.max, Mean: each.sum / float64(each.count), LeftOut: each.leftOut}
		}
	}
	return summary
}

// Hottest is the hottest reading of a snapshot (the first when several are
// equal), and false when there is none: of one kind when a kind is given,
// else of every kind but calibration references, which are no temperature
// of any part. Readings that cannot be temperatures are never the hottest.
// A kind that is not one of Kinds(), or more than one, has no hottest.
func Hottest(s Snapshot, kind ...string) (Sensor, bool) {
	if len(kind) > 1 || (len(kind) == 1 && !isKind(kind[0])) {
		return Sensor{}, false
	}
	var best Sensor
	found := false
	for _, sensor := range s.Sensors {
		sensorKind := KindOf(sensor.Name)
		counts := sensorKind != table.NotAPart.Kind
		if len(kind) == 1 {
			counts = sensorKind == kind[0]
		}
		if counts && plausible(sensorKind, sensor.Celsius) && (!found || sensor.Celsius > best.Celsius) {
			best, found = sensor, true
		}
	}
	return best, found
}
