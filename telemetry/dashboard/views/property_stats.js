function (doc) {
  if (typeof doc.type !== 'string' || typeof doc.timestamp !== 'number') return;
  var day = new Date(doc.timestamp).toISOString().slice(0, 10);
  for (var name in doc) {
    var value = doc[name];
    if (name.charAt(0) !== '_' && name !== 'timestamp' && typeof value === 'number'
        && isFinite(value))
      emit([doc.type, name, day], value);
  }
}
