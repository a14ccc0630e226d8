function (doc) {
  if (typeof doc.type !== 'string' || typeof doc.timestamp !== 'number') return;
  var platform = doc.platform || {};
  var os = doc.platformOs || platform.os || 'unknown';
  emit([String(os), new Date(doc.timestamp).toISOString().slice(0, 10)], null);
}
